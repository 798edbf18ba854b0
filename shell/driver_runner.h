// The host driver runner: the three driver steps (install, extract, update), starting the driver
// process and waiting for it while the handheld connection stays serviced, and copying the
// driver's error file into the HotSync log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velqor::shell {

// Exit status of a process that is still running, as the exit status query reports it.
inline constexpr int32_t kStillActive = 259;
// Reported as the driver's exit code when its exit status could not be learnt (the wait
// failed). No driver can exit with it here: exit codes are 0 to 255 and a driver killed by a
// signal reports 128 plus the signal number.
inline constexpr int32_t kUnknownExitCode = -1;
// Start failure codes the messages single out.
inline constexpr int32_t kStartFileNotFound = 2;
inline constexpr int32_t kStartDllNotFound = 1157;
// The pause after a successful install step.
inline constexpr uint32_t kInstallPauseMs = 5000;
inline constexpr uint32_t kPollIntervalMs = 250;
inline constexpr uint16_t kYieldCycles = 100;

// The environment block handed to the driver: "PATH=<hllPath>;" and the double NUL that ends
// an environment block (the caller has already removed one trailing backslash).
std::string BuildEnvironmentBlock(const std::string& hllPath);

// The process environment a block stands for, in this platform's form: one entry per
// NUL-terminated string up to the empty one (or the end of the block). PATH lists use ':'
// instead of ';' and lose their empty entries, since an empty entry would put the current
// directory into the driver's search path; a PATH left with no entry is dropped.
std::vector<std::string> EnvironmentFromBlock(const std::string& block);

// The argument vector of a command line: its words split on blanks (spaces and tabs). The
// first word, up to the first blank, names the program; it is empty when the line starts with a
// blank (an empty driver path), and such a program is never found.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Each step: formats its command line, runs the driver and returns 1 when it ended with exit
// code 0. On failure the driver's error file is copied into the log and the result is 0. A
// successful install returns only after a 5-second pause.
int32_t RunDriverInstall(const std::string& driverPath, const std::string& shortDirectory,
                         const std::string& install, const std::string& environment);
int32_t RunDriverExtract(const std::string& driverPath, const std::string& shortDirectory,
                         const std::string& localFileName, const std::string& environment,
                         const std::string& userId, int32_t numDays);
int32_t RunDriverUpdate(const std::string& driverPath, const std::string& shortDirectory,
                        const std::string& fileName, const std::string& environment,
                        const std::string& userId);

// Starts the command line's program with the block's environment and waits for it, yielding to
// the Sync Manager on every pass. Returns 1 for exit code 0, else 0 after logging why.
int32_t RunHostDriver(const std::string& commandLine, const std::string& environment);

// Writes the text of "<shortDirectory>conderr.txt", when there is any, as one log line.
void ReportDriverErrors(const std::string& shortDirectory);

}  // namespace velqor::shell
