; The Lumoret installer for one architecture, built on Linux with Debian's makensis:
;
;   makensis -INPUTCHARSET UTF8 -DARCH=i686|x86_64 -DVERSION=X.Y.Z -DBIN=<folder of Lumoret.exe> \
;            -DOUTFILE=<installer> res/windows/lumoret.nsi
;
; BIN holds what the Windows build leaves beside Lumoret.exe: LICENSE.txt,
; config.sample.ini and lumoret.ico; ReadMe.txt and ReadMe.en.txt come from the
; repository. It installs for all users (administrator) into Program Files, adds a
; Start-menu entry and an uninstaller listed in Apps & Features / Add or Remove Programs.
; Each user's config.ini (%APPDATA%\Lumoret) and history (%LOCALAPPDATA%\Lumoret) are the
; program's own business: they are neither made nor removed here. /S installs and
; uninstalls silently. The installer holds no build date: the same inputs make the same
; bytes.

Unicode true
SetCompressor /SOLID lzma
; The installed files get the time of installation: the installer holds no build dates.
SetDateSave off

!macro Require NAME
  !ifndef ${NAME}
    !error "${NAME} is not defined: makensis -D${NAME}=..."
  !endif
!macroend
!insertmacro Require ARCH
!insertmacro Require VERSION
!insertmacro Require BIN
!insertmacro Require OUTFILE
; makensis works in this script's folder: the repository is two levels up, and BIN and
; OUTFILE are best given as absolute paths.
!define ROOT "../.."
; The key of the entry in Add or Remove Programs.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Lumoret"
!define UNINSTALLER "Uninstall.exe"

!if "${ARCH}" == "x86_64"
  ; A 64-bit installer for the 64-bit program: Program Files and the registry's 64-bit view
  ; without redirection, and no start at all on 32-bit Windows.
  Target amd64-unicode
  !define PROGRAM_FILES "$PROGRAMFILES64"
  !define BITS 64
!else if "${ARCH}" == "i686"
  Target x86-unicode
  !define PROGRAM_FILES "$PROGRAMFILES"
  !define BITS 32
!else
  !error "ARCH must be i686 or x86_64, not ${ARCH}"
!endif

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

Name "Lumoret ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\Lumoret"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

!define MUI_ICON "${BIN}/lumoret.ico"
!define MUI_UNICON "${BIN}/lumoret.ico"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The program's own language first: the one the installer falls back on.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString RUNNING ${LANG_SIMPCHINESE} "Lumoret 正在运行。请先关闭它的窗口，然后再试一次。"
LangString RUNNING ${LANG_ENGLISH} "Lumoret is running. Close its window, then try again."

; A running Lumoret.exe cannot be replaced or removed: rather nothing than half of it.
!macro RefuseWhileRunning
  FindWindow $0 "" "Lumoret"
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "$(RUNNING)" /SD IDOK
    Abort
  ${EndIf}
!macroend
Function .onInit
  !insertmacro RefuseWhileRunning
FunctionEnd
Function un.onInit
  !insertmacro RefuseWhileRunning
FunctionEnd

; The installer's own version block.
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Lumoret"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Lumoret ${VERSION} (${BITS}-bit) setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "MIT licence, see LICENSE.txt"

Section "Lumoret"
  SetShellVarContext all
  !if ${BITS} == 64
    SetRegView 64
  !endif
  SetOutPath "$INSTDIR"
  ; Every file named here is removed by name on uninstall, and nothing else.
  File "${BIN}/Lumoret.exe"
  File "${BIN}/LICENSE.txt"
  File "${BIN}/config.sample.ini"
  File "${ROOT}/ReadMe.txt"
  File "${ROOT}/ReadMe.en.txt"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; The shortcut starts in the program's folder, which has no config.ini: the program
  ; then works in the user's %APPDATA%\Lumoret.
  CreateShortcut "$SMPROGRAMS\Lumoret.lnk" "$INSTDIR\Lumoret.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Lumoret (${BITS}-bit)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Lumoret.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  !if ${BITS} == 64
    SetRegView 64
  !endif
  Delete "$SMPROGRAMS\Lumoret.lnk"
  Delete "$INSTDIR\Lumoret.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\config.sample.ini"
  Delete "$INSTDIR\ReadMe.txt"
  Delete "$INSTDIR\ReadMe.en.txt"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only when empty: a file someone put there stays, and so does its folder.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
