// tarn's appliance commands: each calls one TarnWebCom export with UTF-16 arguments.
#include <iostream>
#include <memory>
#include <string>

#include "commands.h"
#include "console.h"
#include "progress.h"
#include "tarn/tarn_web_com.h"

namespace tarn::host {
namespace {

// Exit status is the result; errors and refusals are explained on standard error.
int Report(int result, const TARN_WCHAR* message, const std::string& file = "") {
  switch (result) {
    case 0:
      break;
    case 98:
    case 99:
      std::cerr << "tarn: " << ConsoleFromWide(message) << "\n";
      break;
    case 91:
      std::cerr << "tarn: Sign-in refused by the appliance.\n";
      break;
    case 92:
      std::cerr << "tarn: The user lacks the LOG right.\n";
      break;
    case 93:
      std::cerr << "tarn: The user lacks the ADMIN right.\n";
      break;
    case 95:
      std::cerr << "tarn: The appliance reported a failure.\n";
      break;
    case 96:
      std::cerr << "tarn: The appliance sent a web page instead of the data; the page is in "
                << file << ".\n";
      break;
    default:
      std::cerr << "tarn: Unexpected result " << result << ".\n";
      break;
  }
  return result;
}

struct Credentials {
  std::string user;
  std::string password;
  bool password_given = false;
};

// The password: the option, else TARN_PASSWORD, else asked on the terminal without echo; with
// no terminal it is empty.
std::string Password(const Credentials& c) {
  if (c.password_given) return c.password;
  std::string answer;
  if (EnvironmentValue("TARN_PASSWORD", answer)) return answer;
  PromptHidden(("Password for " + c.user + ": ").c_str(), answer);
  return answer;
}

void AddCredentials(CLI::App* cmd, Credentials& c) {
  cmd->add_option("--user,-u", c.user, "Appliance user name");
  cmd->add_option("--password,-p", c.password,
                  "Password (else $TARN_PASSWORD, else asked without echo)")
      ->each([&c](const std::string&) { c.password_given = true; });
}

using Transfer = int (*)(const TARN_WCHAR*, const TARN_WCHAR*, const TARN_WCHAR*, const TARN_WCHAR*,
                         TARN_WCHAR*);

void AddTransfer(CLI::App& parent, const char* name, const char* help, Transfer transfer,
                 TransferProgress::Direction direction, int& exit_code) {
  struct Args {
    std::string host;
    std::string file;
    Credentials credentials;
  };
  auto args = std::make_shared<Args>();
  CLI::App* cmd = parent.add_subcommand(name, help);
  cmd->add_option("host", args->host, "Appliance host[:port]")->required();
  cmd->add_option("file", args->file, "Local file")->required();
  AddCredentials(cmd, args->credentials);
  cmd->callback([args, transfer, direction, &exit_code] {
    TARN_WCHAR message[256] = {};
    const std::string password = Password(args->credentials);
    TransferProgress progress(direction, args->file);
    const int result = transfer(
        WideFromConsole(args->host).c_str(), WideFromConsole(args->credentials.user).c_str(),
        WideFromConsole(password).c_str(), WideFromConsole(args->file).c_str(), message);
    progress.Finish(result == 0);
    exit_code = Report(result, message, args->file);
  });
}

}  // namespace

void AddWebCommands(CLI::App& app, int& exit_code) {
  app.add_flag_callback(
      "--direct", [] { SetProxySetting(0); },
      "Reach the appliance directly, not through the system's proxy (http_proxy on Linux, the "
      "Internet Settings on Windows)");

  auto host = std::make_shared<std::string>();
  CLI::App* status = app.add_subcommand(
      "status",
      "Print the appliance's mchiman value (1: transfers need a sign-in, 0: none or not "
      "reported); the exit status is that value, or 98/99 with the error on standard error");
  status->add_option("host", *host, "Appliance host[:port]")->required();
  status->callback([host, &exit_code] {
    TARN_WCHAR message[256] = {};
    const int result = GetDeviceStatusMchimanW(WideFromConsole(*host).c_str(), message);
    // A value of 98 or 99 reads as a failure: the export tells them apart only by its text.
    if ((result == 98 || result == 99) && message[0] != 0) {
      Report(result, message);
    } else {
      std::cout << result << "\n";
    }
    exit_code = result;
  });

  struct JobLogArgs {
    std::string host;
    std::string file;
    Credentials credentials;
    bool no_login = false;
  };
  auto job = std::make_shared<JobLogArgs>();
  CLI::App* joblog = app.add_subcommand(
      "joblog", "Sign in (needs the LOG right), download the job log into FILE as UTF-8, sign out");
  joblog->add_option("host", job->host, "Appliance host[:port]")->required();
  joblog->add_option("file", job->file, "Local file")->required();
  AddCredentials(joblog, job->credentials);
  joblog->add_flag("--no-login", job->no_login,
                   "Sign in with an empty user name and password (no prompt)");
  joblog->callback([job, &exit_code] {
    TARN_WCHAR message[256] = {};
    int result;
    // Asked before the progress line starts, so the prompt has the terminal to itself.
    const std::string password = job->no_login ? std::string() : Password(job->credentials);
    TransferProgress progress(TransferProgress::Direction::kDownload, job->file);
    if (job->no_login) {
      result = GetJobLogNoLoginW(WideFromConsole(job->host).c_str(),
                                 WideFromConsole(job->file).c_str(), message);
    } else {
      result = GetJobLogW(
          WideFromConsole(job->host).c_str(), WideFromConsole(job->credentials.user).c_str(),
          WideFromConsole(password).c_str(), WideFromConsole(job->file).c_str(), message);
    }
    progress.Finish(result == 0);
    exit_code = Report(result, message, job->file);
  });

  CLI::App* users = app.add_subcommand(
      "users", "User list (needs the ADMIN right): get downloads it into FILE, set uploads FILE");
  users->require_subcommand(1);
  AddTransfer(*users, "get", "Download the user list into FILE", &GetUserInfoW,
              TransferProgress::Direction::kDownload, exit_code);
  AddTransfer(*users, "set", "Upload FILE as the user list", &SetUserInfoW,
              TransferProgress::Direction::kUpload, exit_code);

  CLI::App* proxy = app.add_subcommand(
      "proxy",
      "Proxy settings (needs the ADMIN right): get downloads them into FILE, set uploads FILE");
  proxy->require_subcommand(1);
  AddTransfer(*proxy, "get", "Download the proxy settings into FILE", &GetProxyInfoW,
              TransferProgress::Direction::kDownload, exit_code);
  AddTransfer(*proxy, "set", "Upload FILE as the proxy settings", &SetProxyInfoW,
              TransferProgress::Direction::kUpload, exit_code);

  auto digest_args = std::make_shared<Credentials>();
  CLI::App* digest = app.add_subcommand(
      "digest", "Print the salted MD5 digest of --user and the password (32 hex digits)");
  AddCredentials(digest, *digest_args);
  digest->callback([digest_args, &exit_code] {
    TARN_WCHAR out[33] = {};
    const std::string password = Password(*digest_args);
    EncryptW(out, WideFromConsole(digest_args->user).c_str(), WideFromConsole(password).c_str());
    std::cout << ConsoleFromWide(out) << "\n";
    exit_code = 0;
  });

  auto text = std::make_shared<std::string>();
  CLI::App* count =
      app.add_subcommand("utf8-count", "Print the UTF-8 byte count of TEXT (with its terminator)");
  count->add_option("text", *text, "Text")->required();
  count->callback([text, &exit_code] {
    std::cout << GetUtf8ByteCountW(WideFromConsole(*text).c_str()) << "\n";
    exit_code = 0;
  });
}

}  // namespace tarn::host
