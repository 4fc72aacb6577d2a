// scripted_server: the scripted test server as a program, for end-to-end
// tests and scripts.
//
//   scripted_server [--deadline MS] [--connections N] [--received FILE]
//                   (--script FILE | --sink | STEP...)
//
// Each STEP argument is one line of the script's text form (see
// ParseScript). The first line on stdout is the port; the received bytes go
// to FILE when the script ends. Exit code 0 when every step went as
// scripted, 1 when not, 2 for a usage error.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "support/ScriptedServer.h"

namespace {

int Usage(const std::string& problem) {
  std::cerr << "scripted_server: " << problem << "\n"
            << "usage: scripted_server [--deadline MS] [--connections N] [--received FILE]"
               " (--script FILE | --sink | STEP...)\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  testserver::ServerOptions options;
  std::string receivedPath;
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
      } else if (arg == "--sink") {
        scriptText += "sink\n";
      } else if (arg.rfind("--", 0) == 0) {
        return Usage("unknown or incomplete switch " + arg);
      } else {
        scriptText += arg + "\n";
      }
    }
  } catch (const std::exception&) {
    return Usage("bad number");
  }

  std::vector<testserver::Step> script;
  try {
    script = testserver::ParseScript(scriptText);
  } catch (const std::invalid_argument& e) {
    return Usage(e.what());
  }

  testserver::ScriptedServer server(std::move(script), options);
  std::cout << server.Port() << std::endl;
  server.Join();
  if (!receivedPath.empty()) {
    std::ofstream out(receivedPath, std::ios::binary);
    out << server.Received();
  }
  for (const std::string& failure : server.Failures()) std::cerr << "scripted_server: " << failure << "\n";
  return server.Failures().empty() ? 0 : 1;
}
