// TlsScriptedServer in the Windows build: the native scripted_server, started
// through Wine (which runs a Linux program natively when asked to start one).
// Wine hands such a process no pipes and no exit code, so everything goes
// through files in a directory of the working directory, which both
// processes share: relative names mean the same file on both sides.

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/TlsScriptedServer.h"

namespace testserver {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);   // certificates or a listener
constexpr auto kFinishGrace = std::chrono::seconds(10);  // past the server's own deadline

std::string NativeServer() {
  const char* path = std::getenv("MAILSHOT_NATIVE_SCRIPTED_SERVER");
  if (path == nullptr || *path == '\0')
    throw std::runtime_error("MAILSHOT_NATIVE_SCRIPTED_SERVER does not name the native build's scripted_server");
  return path;
}

void Start(const std::string& arguments) {
  std::string commandLine = NativeServer() + " " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
    throw std::runtime_error("cannot start " + commandLine + ": error " + std::to_string(::GetLastError()));
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
}

bool AwaitFile(const std::string& path, std::chrono::steady_clock::duration limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

/// A fresh directory of the working directory, removed with its files.
class RunDir {
 public:
  explicit RunDir(const std::string& kind) {
    static int count = 0;
    path_ = kind + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++count);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~RunDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  RunDir(const RunDir&) = delete;
  RunDir& operator=(const RunDir&) = delete;
  /// name inside, with "/" as both systems accept it.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

const RunDir& CertificateDir() {
  static const RunDir dir("tls-certs");
  static const bool made = [] {
    Start("--make-certs " + dir.File(""));
    if (!AwaitFile(dir.File(kTestCaFileName), kStartLimit))
      throw std::runtime_error("the native scripted_server made no test certificates");
    return true;
  }();
  static_cast<void>(made);
  return dir;
}

}  // namespace

const std::string& TestCaFile() {
  static const std::string file = CertificateDir().File(kTestCaFileName);
  return file;
}

class TlsScriptedServer::Impl {
 public:
  Impl(const std::vector<Step>& script, Certificate certificate, const ServerOptions& options)
      : run_("tls-server"), deadline_(std::chrono::steady_clock::now() + options.deadline) {
    std::ofstream(run_.File("script"), std::ios::binary) << ScriptText(script);
    std::string arguments = "--deadline " + std::to_string(options.deadline.count()) + " --connections " +
                            std::to_string(options.connections) +
                            " --tls-cert " + CertificateDir().File(CertificateFileName(certificate)) +
                            " --tls-key " + CertificateDir().File(kTestKeyFileName) + " --port-file " +
                            run_.File("port") + " --received " + run_.File("received") + " --failures " +
                            run_.File("failures") + " --stop-file " + run_.File("stop") + " --script " +
                            run_.File("script");
    if (options.tls.maxMinorVersion > 0) arguments += " --tls-max 1." + std::to_string(options.tls.maxMinorVersion);
    if (options.ipv6) arguments += " --ipv6";
    Start(arguments);
    if (!AwaitFile(run_.File("port"), kStartLimit)) throw std::runtime_error("the native scripted_server did not start");
    port_ = static_cast<std::uint16_t>(std::stoi(ReadWhole(run_.File("port"))));
  }

  ~Impl() {
    if (finished_) return;
    Stop();
    AwaitFile(run_.File("failures"), kFinishGrace);
  }

  void Stop() {
    if (!finished_) std::ofstream(run_.File("stop")) << "stop\n";
  }

  void Join() {
    if (finished_) return;
    if (!AwaitFile(run_.File("failures"), deadline_ - std::chrono::steady_clock::now() + kFinishGrace)) {
      failures_.push_back("the native scripted_server did not finish");
    } else {
      received_ = ReadWhole(run_.File("received"));
      std::istringstream lines(ReadWhole(run_.File("failures")));
      for (std::string line; std::getline(lines, line);) failures_.push_back(line);
    }
    finished_ = true;
  }

  std::uint16_t port_ = 0;
  std::string received_;
  std::vector<std::string> failures_;

 private:
  RunDir run_;
  std::chrono::steady_clock::time_point deadline_;
  bool finished_ = false;
};

TlsScriptedServer::TlsScriptedServer(std::vector<Step> script, Certificate certificate, ServerOptions options)
    : impl_(std::make_unique<Impl>(script, certificate, options)) {}
TlsScriptedServer::~TlsScriptedServer() = default;
std::uint16_t TlsScriptedServer::Port() const { return impl_->port_; }
void TlsScriptedServer::Join() { impl_->Join(); }
void TlsScriptedServer::Stop() { impl_->Stop(); }
std::string TlsScriptedServer::Received() const { return impl_->received_; }
std::vector<std::string> TlsScriptedServer::Failures() const { return impl_->failures_; }

}  // namespace testserver
