// Reads back what the stand-in host driver recorded about each of its runs.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace velqor::shell::testing {

struct DriverCall {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::string fds;    // the open descriptors, e.g. "0 1 2"
  std::string input;  // standard input: "devnull" or "other"
};

inline std::vector<DriverCall> ReadDriverCalls(const std::string& directory) {
  std::vector<DriverCall> calls;
  std::ifstream in(directory + "fake_driver_calls.txt");
  std::string line;
  DriverCall call;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "arg") call.argv.push_back(value);
    if (key == "env") call.env.push_back(value);
    if (key == "fds") call.fds = value;
    if (key == "stdin") call.input = value;
    if (key == "end") {
      calls.push_back(call);
      call = DriverCall();
    }
  }
  return calls;
}

}  // namespace velqor::shell::testing
