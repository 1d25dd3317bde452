// harness.h: runs the real program as a user would: its console is a
// pseudo-terminal we type into and read, its serial port another one we feed.
#pragma once
#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_state.h"
#include "pty_source.h"

using namespace std::chrono_literals;

std::string TempDir();                       // a fresh folder for one run
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
long long FileSize(const std::string& path);  // -1 when missing
std::string Bytes(Pattern pattern, std::size_t size, std::uint64_t seed = 7);
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

struct LaunchOptions {
    std::string WorkDir;
    std::string StdoutFile;            // stdout redirected here, else the console
    bool StdoutReaderGone = false;     // stdout is a pipe whose reader has closed it
    bool StdoutPiped = false;          // stdout is a pipe the test reads (StdoutPipe), or does not
    std::string TypeAhead;             // typed into the console before the start
    std::string BindOverComPorts;      // a pty bound over /dev/ttyS* in a private mount namespace
    bool CrLfNewlines = false;               // the program writes a newline as CR LF (Windows)
    long FileSizeLimit = 0;                  // RLIMIT_FSIZE in bytes: the log's space runs out there
    std::vector<std::string> Environment;    // "NAME=value" added to the program's environment
    bool InBackground = false;               // another job is the console's foreground job
    bool HangUpIgnored = false;              // started with SIGHUP ignored, as nohup starts it
};

// One running program, started as a shell starts a command: the signals a
// user sends at their default dispositions, none blocked. Its console output
// is collected all along, so the program never blocks on a full terminal.
class Session {
public:
    Session(const std::vector<std::string>& command, const LaunchOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::string Output();               // as shown: "\r\n" read as "\n", terminal control codes left out
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit = 10s);
    // Presses keys once the program has turned the console's echo off (at most 5 s on).
    void Type(const std::string& keys);
    void TypeAtOnce(const std::string& keys);  // as into a shell that echoes
    // Whether the console's modes are those it had before the start.
    bool ModesAsAtStart() const;
    void Signal(int signal);
    bool WaitForExit(std::chrono::milliseconds limit = 15s);
    int Status() const { return status_; }  // as waitpid gives it
    const rusage& Usage() const { return usage_; }  // the ended process's CPU time and peak memory
    pid_t Pid() const { return pid_; }
    int StdoutPipe() const { return stdoutPipe_; }  // the reading end, with StdoutPiped

private:
    void Collect();
    pid_t pid_ = -1;
    int console_ = -1;
    int stdoutPipe_ = -1;
    int status_ = -1;
    termios modesAtStart_{};
    rusage usage_{};
    bool exited_ = false;
    bool crLfNewlines_ = false;
    std::atomic<bool> shutdown_{false};
    std::mutex mutex_;
    std::string raw_;
    std::thread reader_;
};

// Each "\r\n" as "\n", once: a terminal's or a Windows program's newline.
std::string CrLfAsNewline(std::string text);

// Whether this machine lets us bind a pty over /dev/ttyS* privately (root).
bool CanBindOverComPorts();

// A small Linux guest under QEMU (tests/real_drivers.sh makes it), its console a
// shell, its ttyS1 and ttyUSB0 fed from here, Share seen there as /share.
class Guest {
public:
    Guest(const std::string& guestDir, const std::string& accel);  // boots it
    ~Guest();                                                      // powers it off
    bool Ready() const { return ready_; }
    int Shell(const std::string& line);  // runs a command line in the guest: its status, -1 without an answer
    std::string Monitor(const std::string& command);  // a QMP command and its answer
    std::string Trace() const { return ReadFile(dir_ + "/trace"); }  // what the devices were told
    void PowerCut();                     // QEMU killed as the power goes, then booted again on the same disk
    std::string Share;
    int Serial = -1, Usb = -1;  // the far ends of ttyS1 and ttyUSB0 (an FTDI adapter with serial number LUMA)
    int Usb2 = -1;              // the line of a second adapter, plugged in by a row

private:
    void Boot();
    std::string dir_, guestDir_, accel_;
    std::unique_ptr<Session> qemu_;
    int console_ = -1, monitor_ = -1;
    bool ready_ = false;
};
