#include "ui/startup_message.h"

#include "engine/config_error.h"
#include "engine/target_list.h"
#include "engine/user_text.h"
#include "platform/platform.h"

namespace {

#ifndef _WIN32
// What a user can do about it: the capability for the helper, datagram sockets for
// everyone, or sudo.
std::string Remedies(const std::string& helper) {
  return Fill(
      Tr("可以给 Lumoret 的 ICMP 助手授予一次权限：\n  sudo setcap cap_net_raw+ep %s\n"
         "或者允许所有用户组使用 ICMP 数据报套接字（多数桌面系统已允许）：\n  sudo sysctl -w "
         "net.ipv4.ping_group_range=\"0 2147483647\"\n（用 sudo 以 root 身份启动 Lumoret "
         "也可以。）\n"),
      {helper});
}
#endif

std::string RightsAdvice(const platform::RightsError& error, const std::string& helper) {
#ifdef _WIN32
  (void)helper;
  if (error.step == platform::RightsError::Step::kOpenSocket) {
    return Tr(
        "Lumoret 通过 Windows 的 ICMP 回显服务探测，无需管理员权限；这个服务没能打开，"
        "而原始 ICMP 套接字需要管理员权限。可以用“以管理员身份运行”启动 Lumoret。\n");
  }
#else
  switch (error.step) {
    case platform::RightsError::Step::kOpenSocket:
      return Tr("Lumoret 通过原始 ICMP 套接字探测，由它的助手凭 CAP_NET_RAW 权限打开；否则使用 "
                "ICMP 数据报套接字，这需要系统允许你所在的某个用户组使用。") +
             Remedies(helper);
    case platform::RightsError::Step::kStartHelper:
      return Tr("助手随 Lumoret 一起提供：请和程序一起构建它（cmake --build），或重新安装软件包。"
                "没有助手时，Lumoret 需要 ICMP 数据报套接字。") +
             Remedies(helper);
    default:
      break;
  }
#endif
  return Tr(
      "Lumoret 不以超出需要的权限运行。请先用 setcap 授予权限，再以你自己的用户身份启动它。\n");
}

// A reason followed by the system's cause (in the system's language), when there is one.
std::string WithCause(const std::string& reason, const std::error_code& code) {
  return code ? Fill(Tr("%s：%s"), {reason, code.message()}) : reason;
}

// What failed, in the window's language: what() is English, for logs.
std::string RightsReason(const platform::RightsError& error) {
  const char* step = TR_NOOP("无法打开 ICMP 套接字");
  switch (error.step) {
    case platform::RightsError::Step::kOpenSocket:
      break;
    case platform::RightsError::Step::kSudoIds:
      step = TR_NOOP("sudo 设置的 SUDO_UID 或 SUDO_GID 不是有效的编号");
      break;
    case platform::RightsError::Step::kSwitchUser:
      step = TR_NOOP("无法切换到运行 sudo 的用户");
      break;
    case platform::RightsError::Step::kDropRight:
      step = TR_NOOP("无法放弃 CAP_NET_RAW 权限");
      break;
    case platform::RightsError::Step::kStartHelper:
      step = TR_NOOP("无法启动 ICMP 助手");
      break;
  }
  return WithCause(Tr(step), error.code());
}

// Why the list could not be taken from file, in the window's language.
std::string ConfigReason(const ConfigError& error, const std::string& file) {
  switch (error.kind) {
    case ConfigError::Kind::kNotRegularFile:
      return Fill(Tr("%s 不是普通文件"), {file});
    case ConfigError::Kind::kCannotRead:
      return WithCause(Fill(Tr("无法读取 %s"), {file}), error.code);
    case ConfigError::Kind::kCannotCreate:
      return WithCause(Fill(Tr("无法创建 %s"), {file}), error.code);
    case ConfigError::Kind::kTooManyTargets:
      return Fill(Tr("%s 列出的主机多于 %s 台"), {file, std::to_string(kMaxTargets)});
    case ConfigError::Kind::kLineTooLong:
      return Fill(Tr("%s 的第 %s 行太长"), {file, std::to_string(error.line)});
  }
  return error.what();
}

std::string ConfigAdvice(const ConfigError& error, const std::string& file) {
  const char* advice = nullptr;
  switch (error.kind) {
    case ConfigError::Kind::kNotRegularFile:
      advice = TR_NOOP("目标列表 %s 必须是普通文件（或指向普通文件的链接），每行一台主机。\n");
      break;
    case ConfigError::Kind::kCannotRead:
      advice = TR_NOOP("请检查 %s 能否读取。\n");
      break;
    case ConfigError::Kind::kCannotCreate:
      advice = TR_NOOP(
          "缺少的 %s 无法创建，原处也没有留下任何东西。请在那里腾出空间或给予写权限，"
          "或自己创建这个文件。\n");
      break;
    case ConfigError::Kind::kTooManyTargets:
      advice = TR_NOOP("请从 %s 中删掉一些行。\n");
      break;
    case ConfigError::Kind::kLineTooLong:
      advice = TR_NOOP("请缩短或删掉 %s 中的那一行：地址或主机名远比它短。\n");
      break;
  }
  return advice != nullptr ? Fill(Tr(advice), {file}) : std::string();
}

}  // namespace

std::string StartupMessage(const std::exception_ptr& error, const std::string& folder,
                           const std::string& helper) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::RightsError& e) {
    return Fill(Tr("Lumoret 无法启动：%s。\n"), {RightsReason(e)}) + RightsAdvice(e, helper);
  } catch (const ConfigError& e) {
    const std::string file = Fill(Tr("%s 中的 config.ini"), {folder});
    return Fill(Tr("Lumoret 无法使用它的目标列表：%s。\n"), {ConfigReason(e, file)}) +
           ConfigAdvice(e, file);
  } catch (const std::exception& e) {
    return Fill(Tr("Lumoret 无法启动延迟引擎：%s。\n"), {e.what()});
  }
}
