// tarn's appliance commands: each calls one TarnWebCom export with UTF-16 arguments.
#include <iconv.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "commands.h"
#include "tarn/tarn_web_com.h"

namespace tarn::host {
namespace {

// Converts between the terminal's UTF-8 and the exports' UTF-16 with the C library's iconv;
// a byte that does not convert is skipped.
std::string Convert(const char* to, const char* from, const char* data, size_t size) {
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  char* in = const_cast<char*>(data);
  size_t in_left = size;
  char buffer[1024];
  while (in_left > 0) {
    char* dst = buffer;
    size_t dst_left = sizeof buffer;
    const size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
    out.append(buffer, sizeof buffer - dst_left);
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      ++in;
      --in_left;
    }
  }
  iconv_close(cd);
  return out;
}

std::u16string ToUtf16(const std::string& text) {
  const std::string bytes = Convert("UTF-16LE", "UTF-8", text.data(), text.size());
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::string ToUtf8(const TARN_WCHAR* text) {
  std::string bytes;
  for (size_t i = 0; text[i] != 0; ++i) {
    bytes.push_back(static_cast<char>(text[i] & 0xFF));
    bytes.push_back(static_cast<char>(text[i] >> 8));
  }
  return Convert("UTF-8", "UTF-16LE", bytes.data(), bytes.size());
}

// The password: the option, else TARN_PASSWORD, else asked on the terminal without echo.
std::string Password(const std::string& option, bool given) {
  if (given) return option;
  if (const char* env = std::getenv("TARN_PASSWORD")) return env;
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return "";
  termios saved{};
  const int fd = fileno(tty);
  const bool is_tty = tcgetattr(fd, &saved) == 0;
  if (is_tty) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::fputs("Password: ", tty);
  std::fflush(tty);
  char buffer[512] = {};
  const bool read = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (is_tty) tcsetattr(fd, TCSAFLUSH, &saved);
  std::fputs("\n", tty);
  std::fclose(tty);
  std::string password = read ? buffer : "";
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
    password.pop_back();
  }
  return password;
}

// Exit status is the result; errors and refusals are explained on standard error.
int Report(int result, const TARN_WCHAR* message) {
  switch (result) {
    case 0:
      break;
    case 98:
    case 99:
      std::cerr << "tarn: " << ToUtf8(message) << "\n";
      break;
    case 91:
      std::cerr << "tarn: the appliance refused the sign-in.\n";
      break;
    case 92:
      std::cerr << "tarn: the user lacks the right \"LOG\" needed for the job log.\n";
      break;
    case 93:
      std::cerr << "tarn: the user lacks the right \"ADMIN\" needed for this transfer.\n";
      break;
    case 95:
      std::cerr << "tarn: the appliance reported a failure.\n";
      break;
    case 96:
      std::cerr << "tarn: the appliance sent a web page instead of the data (kept in the file).\n";
      break;
    default:
      std::cerr << "tarn: unexpected result " << result << ".\n";
      break;
  }
  return result;
}

struct Credentials {
  std::string user;
  std::string password;
  bool password_given = false;
};

void AddCredentials(CLI::App* cmd, Credentials& c) {
  cmd->add_option("--user,-u", c.user, "Appliance user name");
  cmd->add_option("--password,-p", c.password,
                  "Password (else $TARN_PASSWORD, else asked without echo)")
      ->each([&c](const std::string&) { c.password_given = true; });
}

using Transfer = int (*)(const TARN_WCHAR*, const TARN_WCHAR*, const TARN_WCHAR*, const TARN_WCHAR*,
                         TARN_WCHAR*);

void AddTransfer(CLI::App& parent, const char* name, const char* help, Transfer transfer,
                 int& exit_code) {
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
  cmd->callback([args, transfer, &exit_code] {
    TARN_WCHAR message[256] = {};
    const std::string password =
        Password(args->credentials.password, args->credentials.password_given);
    exit_code =
        Report(transfer(ToUtf16(args->host).c_str(), ToUtf16(args->credentials.user).c_str(),
                        ToUtf16(password).c_str(), ToUtf16(args->file).c_str(), message),
               message);
  });
}

}  // namespace

void AddWebCommands(CLI::App& app, int& exit_code) {
  app.add_flag_callback(
      "--direct", [] { SetProxySetting(0); },
      "Reach the appliance directly, not through the proxy in http_proxy");

  auto host = std::make_shared<std::string>();
  CLI::App* status = app.add_subcommand(
      "status",
      "Print the appliance's mchiman value (1: sign-in required); exit status 98/99 on "
      "failure");
  status->add_option("host", *host, "Appliance host[:port]")->required();
  status->callback([host, &exit_code] {
    TARN_WCHAR message[256] = {};
    const int result = GetDeviceStatusMchimanW(ToUtf16(*host).c_str(), message);
    if (result == 98 || result == 99) {
      exit_code = Report(result, message);
    } else {
      std::cout << result << "\n";
      exit_code = 0;
    }
  });

  struct JobLogArgs {
    std::string host;
    std::string file;
    Credentials credentials;
    bool no_login = false;
  };
  auto job = std::make_shared<JobLogArgs>();
  CLI::App* joblog = app.add_subcommand("joblog", "Download the job log (UTF-8) into FILE");
  joblog->add_option("host", job->host, "Appliance host[:port]")->required();
  joblog->add_option("file", job->file, "Local file")->required();
  AddCredentials(joblog, job->credentials);
  joblog->add_flag("--no-login", job->no_login, "Send no credentials");
  joblog->callback([job, &exit_code] {
    TARN_WCHAR message[256] = {};
    int result;
    if (job->no_login) {
      result = GetJobLogNoLoginW(ToUtf16(job->host).c_str(), ToUtf16(job->file).c_str(), message);
    } else {
      const std::string password =
          Password(job->credentials.password, job->credentials.password_given);
      result = GetJobLogW(ToUtf16(job->host).c_str(), ToUtf16(job->credentials.user).c_str(),
                          ToUtf16(password).c_str(), ToUtf16(job->file).c_str(), message);
    }
    exit_code = Report(result, message);
  });

  CLI::App* users = app.add_subcommand("users", "User list: get (download) or set (upload)");
  users->require_subcommand(1);
  AddTransfer(*users, "get", "Download the user list into FILE", &GetUserInfoW, exit_code);
  AddTransfer(*users, "set", "Upload FILE as the user list", &SetUserInfoW, exit_code);

  CLI::App* proxy = app.add_subcommand("proxy", "Proxy settings: get (download) or set (upload)");
  proxy->require_subcommand(1);
  AddTransfer(*proxy, "get", "Download the proxy settings into FILE", &GetProxyInfoW, exit_code);
  AddTransfer(*proxy, "set", "Upload FILE as the proxy settings", &SetProxyInfoW, exit_code);

  auto digest_args = std::make_shared<Credentials>();
  CLI::App* digest = app.add_subcommand("digest", "Print the salted digest of user and password");
  AddCredentials(digest, *digest_args);
  digest->callback([digest_args, &exit_code] {
    TARN_WCHAR out[33] = {};
    const std::string password = Password(digest_args->password, digest_args->password_given);
    EncryptW(out, ToUtf16(digest_args->user).c_str(), ToUtf16(password).c_str());
    std::cout << ToUtf8(out) << "\n";
    exit_code = 0;
  });

  auto text = std::make_shared<std::string>();
  CLI::App* count =
      app.add_subcommand("utf8-count", "Print the UTF-8 byte count of TEXT (with its terminator)");
  count->add_option("text", *text, "Text")->required();
  count->callback([text, &exit_code] {
    std::cout << GetUtf8ByteCountW(ToUtf16(*text).c_str()) << "\n";
    exit_code = 0;
  });
}

}  // namespace tarn::host
