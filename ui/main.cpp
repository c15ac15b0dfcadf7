#include <wx/app.h>

#include "platform/platform.h"
#include "ui/lumoret_app.h"

wxIMPLEMENT_APP_NO_MAIN(CLumoretApp);

int main(int argc, char** argv) {
  // config.ini and ReadMe.txt are looked up in the working folder, so it is settled first.
  platform::EnterWorkingFolder();
  // Before the toolkit starts threads of its own that would inherit the right.
  platform::SuspendRawSocketRight();
  // OnInit runs the whole program and returns false, so wxEntry's result is always
  // "failed"; the application keeps the real status.
  wxEntry(argc, argv);
  return CLumoretApp::exit_status;
}
