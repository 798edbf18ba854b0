// A stand-in host driver for the shell's tests. Called as a driver is:
//   fake_host_driver STEP DIRECTORY FILE USER NUMBER
// It appends what it was given (arguments, environment, open descriptors, standard input) to
// DIRECTORY/fake_driver_calls.txt, then does what DIRECTORY/fake_driver.ctl asks of STEP.
// Control lines, "STEP WHAT VALUE" (STEP "*" matches every step):
//   exit N      exit with N (default 0; -1 ends as 255)
//   sleep MS    sleep that long first
//   signal N    end by raising signal N
//   error NAME  copy DIRECTORY/NAME to DIRECTORY/conderr.txt
//   write NAME  copy DIRECTORY/NAME to DIRECTORY/FILE (what an extract does)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void Copy(const std::string& from, const std::string& to) {
  const std::string bytes = ReadAll(from);
  std::ofstream(to, std::ios::binary | std::ios::trunc) << bytes;
}

bool StdinIsDevNull() {
  struct stat in {};
  struct stat null {};
  return fstat(0, &in) == 0 && stat("/dev/null", &null) == 0 && in.st_dev == null.st_dev &&
         in.st_ino == null.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
  // Taken first, before this program opens anything of its own.
  std::string fds;
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) fds += (fds.empty() ? "" : " ") + std::to_string(fd);
  }
  const bool devNull = StdinIsDevNull();
  if (argc < 3) return 64;
  const std::string step = argv[1];
  const std::string dir = argv[2];

  {
    std::ofstream calls(dir + "fake_driver_calls.txt", std::ios::app);
    calls << "argc " << argc << "\n";
    for (int i = 0; i < argc; ++i) calls << "arg " << argv[i] << "\n";
    for (char** e = environ; *e != nullptr; ++e) calls << "env " << *e << "\n";
    calls << "fds " << fds << "\n";
    calls << "stdin " << (devNull ? "devnull" : "other") << "\n";
    calls << "end\n";
  }

  int exitCode = 0;
  int signal = 0;
  std::ifstream control(dir + "fake_driver.ctl");
  std::string line;
  while (std::getline(control, line)) {
    std::istringstream words(line);
    std::string which, what, value;
    if (!(words >> which >> what >> value) || (which != step && which != "*")) continue;
    if (what == "exit") exitCode = std::atoi(value.c_str());
    if (what == "signal") signal = std::atoi(value.c_str());
    if (what == "sleep") {
      const long ms = std::atol(value.c_str());
      timespec pause{ms / 1000, (ms % 1000) * 1000000L};
      nanosleep(&pause, nullptr);
    }
    if (what == "error") Copy(dir + value, dir + "conderr.txt");
    if (what == "write" && argc > 3) Copy(dir + value, dir + argv[3]);
  }
  if (signal != 0) {
    // A crash: no handler of this program may soften it.
    ::signal(signal, SIG_DFL);
    raise(signal);
  }
  return exitCode;
}
