// scripted_server: the scripted test server as a program, for end-to-end
// tests and scripts.
//
//   scripted_server [--deadline MS] [--connections N] [--received FILE]
//                   [--failures FILE] [--port-file FILE] [--stop-file FILE]
//                   [--ipv6] [--hold-file FILE]
//                   [--tls-cert FILE --tls-key FILE [--tls-max 1.N]]
//                   (--script FILE | --sink | STEP...)
//   scripted_server --make-certs DIR
//
// Each STEP argument is one line of the script's text form (see
// ParseScript); "starttls" steps present the --tls-cert certificate and
// offer TLS up to 1.N (--tls-max; all versions without it). The
// first line on stdout is the port, unless it goes to the port file. When the
// script ends, the received bytes go to the received file, then the
// failures, one a line, to the failures file (its appearance tells a
// watcher that the server is done). The server stops early once the stop
// file exists. --ipv6 listens on ::1 instead of 127.0.0.1; with --hold-file
// the port is taken at once, but connections are refused until the hold
// file exists. Exit code 0 when every step went as scripted, 1 when not, 2
// for a usage error. --make-certs writes the test CA and certificates
// (TestCertificates.h) into DIR, the CA file last. Files are written whole
// under a temporary name and then renamed, so a watcher never reads half.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "support/ScriptedServer.h"
#include "support/TestCertificates.h"

namespace {

int Usage(const std::string& problem) {
  std::cerr << "scripted_server: " << problem << "\n"
            << "usage: scripted_server [--deadline MS] [--connections N] [--received FILE] [--failures FILE]"
               " [--port-file FILE] [--stop-file FILE] [--ipv6] [--hold-file FILE]"
               " [--tls-cert FILE --tls-key FILE [--tls-max 1.N]]"
               " (--script FILE | --sink | STEP...)\n"
               "       scripted_server --make-certs DIR\n";
  return 2;
}

/// Writes content to path under a temporary name, then renames it.
void WriteWhole(const std::string& path, const std::string& content) {
  if (path.empty()) return;
  std::ofstream(path + ".part", std::ios::binary) << content;
  std::filesystem::rename(path + ".part", path);
}

}  // namespace

int main(int argc, char** argv) {
  testserver::ServerOptions options;
  std::string receivedPath;
  std::string failuresPath;
  std::string portPath;
  std::string stopPath;
  std::string scriptText;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      const bool hasValue = i + 1 < argc;
      if (arg == "--deadline" && hasValue) {
        options.deadline = std::chrono::milliseconds(std::stoi(argv[++i]));
      } else if (arg == "--connections" && hasValue) {
        options.connections = std::stoi(argv[++i]);
      } else if (arg == "--received" && hasValue) {
        receivedPath = argv[++i];
      } else if (arg == "--script" && hasValue) {
        std::ifstream file(argv[++i], std::ios::binary);
        if (!file) return Usage(std::string("cannot read ") + argv[i]);
        std::ostringstream text;
        text << file.rdbuf();
        scriptText += text.str() + "\n";
      } else if (arg == "--failures" && hasValue) {
        failuresPath = argv[++i];
      } else if (arg == "--port-file" && hasValue) {
        portPath = argv[++i];
      } else if (arg == "--stop-file" && hasValue) {
        stopPath = argv[++i];
      } else if (arg == "--ipv6") {
        options.ipv6 = true;
      } else if (arg == "--hold-file" && hasValue) {
        const std::string holdPath = argv[++i];
        options.listenWhen = [holdPath] { return std::filesystem::exists(holdPath); };
      } else if (arg == "--tls-cert" && hasValue) {
        options.tls.certificateFile = argv[++i];
      } else if (arg == "--tls-key" && hasValue) {
        options.tls.keyFile = argv[++i];
      } else if (arg == "--tls-max" && hasValue && std::string(argv[i + 1]).rfind("1.", 0) == 0) {
        options.tls.maxMinorVersion = std::stoi(argv[++i] + 2);
      } else if (arg == "--make-certs" && hasValue) {
        try {
          testserver::MakeTestCertificates(argv[++i]);
          return 0;
        } catch (const std::runtime_error& e) {
          std::cerr << "scripted_server: " << e.what() << "\n";
          return 1;
        }
      } else if (arg == "--sink") {
        scriptText += "sink\n";
      } else if (arg.rfind("--", 0) == 0) {
        return Usage("unknown or incomplete switch " + arg);
      } else {
        scriptText += arg + "\n";
      }
    }
  } catch (const std::invalid_argument&) {
    return Usage("bad number");
  } catch (const std::out_of_range&) {
    return Usage("bad number");
  }

  std::vector<testserver::Step> script;
  try {
    script = testserver::ParseScript(scriptText);
  } catch (const std::invalid_argument& e) {
    return Usage(e.what());
  }

  testserver::ScriptedServer server(std::move(script), options);
  if (portPath.empty()) {
    std::cout << server.Port() << std::endl;
  } else {
    WriteWhole(portPath, std::to_string(server.Port()) + "\n");
  }
  while (!server.Finished()) {
    if (!stopPath.empty() && std::filesystem::exists(stopPath)) server.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  server.Join();
  if (!receivedPath.empty()) WriteWhole(receivedPath, server.Received());
  std::string failures;
  for (const std::string& failure : server.Failures()) {
    std::cerr << "scripted_server: " << failure << "\n";
    failures += failure + "\n";
  }
  WriteWhole(failuresPath, failures);
  return server.Failures().empty() ? 0 : 1;
}
