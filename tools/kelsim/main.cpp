// kelsim: boots the driver on a described platform and shows everything it
// programs, what it records for S3 resume, and what every device ends up with.
#include <poll.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "sim/input_error.h"
#include "tools/kelsim/compare.h"
#include "tools/kelsim/emit.h"
#include "tools/kelsim/output.h"
#include "tools/kelsim/report.h"
#include "tools/kelsim/run.h"
#include "tools/kelsim/scenario.h"

namespace {

constexpr int kExitInputError = 2;
constexpr int kExitDifferent = 5;

struct Options {
  std::string platform;
  std::string lspci;
  std::string json;
  std::string dot;
  std::string batch;
  std::string levels = "all";
  bool strictS3 = false;
  bool noTrace = false;
  bool noWrites = false;
  bool noScript = false;
  bool noDevices = false;
  bool noFeatures = false;
  bool noAccesses = false;
  bool full = false;
  bool showTrace = false;
  bool showWrites = false;
  bool showScript = false;
  bool showAccesses = false;
  bool smnTraffic = false;
  bool noAudit = false;
  bool levelsGiven = false;
  bool jsonPretty = false;
  bool jsonEvents = false;
  std::vector<std::string> compare; // two sides: captures, platform files or JSON reports
  bool large = false;
  bool quiet = false;
  unsigned jobs = 0; // batch files run at once; 0: one per core
  bool audit = false;
  bool noPass = false;
  bool powerOn = false;
  std::string emitPlatform;
  std::string sysfs; // with useSysfs: the root whose sys/bus/pci/devices is read
  bool useSysfs = false;
  std::vector<std::string> portEdits;
  std::string failOn; // "error", "warning" or "info"; empty: never
};

kelsim::RunOptions RunOptionsOf(const Options &o) {
  return {.pass = !o.noPass, .audit = !o.noAudit};
}

kelsim::Scenario Load(const Options &o) {
  if (o.useSysfs) {
    return kelsim::ScenarioFromSysfs(o.sysfs.empty() ? "/" : o.sysfs);
  }
  if (!o.lspci.empty()) {
    return kelsim::ScenarioFromCapture(o.lspci);
  }
  if (!o.platform.empty()) {
    return kelsim::LoadScenarioFile(o.platform);
  }
  return o.large ? kelsim::LargeScenario() : kelsim::ReferenceScenario();
}

kelsim::Scenario LoadWithOptions(const Options &o) {
  kelsim::Scenario s = Load(o);
  s.powerOn |= o.powerOn;
  for (const std::string &edit : o.portEdits) {
    kelsim::ApplyPortEdit(s, edit);
  }
  return s;
}

// Writes one output whole or not at all; false, with the reason said, when
// it could not be written.
bool WriteOutput(const std::string &path, std::string content) {
  std::vector<std::pair<std::string, std::string>> files;
  files.emplace_back(path, std::move(content)); // a report is megabytes: moved, not copied
  try {
    kelsim::WriteWholeFiles(files);
  } catch (const sim::InputError &e) {
    std::cerr << "kelsim: " << e.Message() << "\n";
    return false;
  }
  return true;
}

// An output that would overwrite an input, or another output, is refused
// before anything is written.
bool OutputsAreDistinct(const Options &o, const kelsim::Scenario &scenario) {
  std::vector<kelsim::NamedFile> inputs;
  for (const std::string &path : scenario.inputFiles) {
    inputs.push_back({path, path == o.platform ? "platform file" : "capture"});
  }
  const std::string emittedCapture = o.emitPlatform.empty() ? "" : o.emitPlatform + ".lspci.txt";
  const std::string conflict = kelsim::SameFileConflict(
      inputs, {{o.json, "--json"},
               {o.dot, "--dot"},
               {o.emitPlatform, "--emit-platform"},
               {emittedCapture, "--emit-platform capture"}});
  if (!conflict.empty()) {
    std::cerr << "kelsim: " << conflict << "\n";
    return false;
  }
  return true;
}

// An output that cannot be written is found before anything runs.
bool Writable(const std::string &path, const std::string &what) {
  if (path.empty()) {
    return true;
  }
  const bool existed = std::filesystem::exists(path);
  std::ofstream probe(path, std::ios::app);
  if (!probe) {
    std::cerr << "kelsim: " << path << ": cannot write the " << what << "\n";
    return false;
  }
  probe.close();
  if (!existed) {
    std::filesystem::remove(path);
  }
  return true;
}

int RunOne(const Options &o, uint64_t levels) {
  if (!Writable(o.json, "JSON report") || !Writable(o.dot, "device graph")) {
    return kExitInputError;
  }
  kelsim::Scenario scenario;
  try {
    scenario = LoadWithOptions(o);
    if (!OutputsAreDistinct(o, scenario)) {
      return kExitInputError;
    }
    if (!o.emitPlatform.empty()) {
      const std::string capture = kelsim::EmitPlatform(scenario, o.emitPlatform);
      std::cerr << "kelsim: wrote " << o.emitPlatform << " and " << capture << "\n";
    }
  } catch (const sim::InputError &e) {
    std::cerr << "kelsim: " << e.Message() << "\n";
    return kExitInputError;
  }
  kelsim::TextOptions text = o.full ? kelsim::TextOptions{} : kelsim::SummaryTextOptions();
  text.traceLevels = levels;
  text.trace = (text.trace || o.showTrace || o.levelsGiven) && !o.noTrace;
  text.writes = (text.writes || o.showWrites || o.smnTraffic) && !o.noWrites;
  text.smnTraffic = text.smnTraffic || o.smnTraffic;
  text.script = (text.script || o.showScript) && !o.noScript;
  text.devices = !o.noDevices;
  text.features = !o.noFeatures;
  text.accesses = (text.accesses || o.showAccesses) && !o.noAccesses;
  kelsim::RunOptions run = RunOptionsOf(o);
  run.nameWrites = !o.json.empty() || (!o.quiet && text.writes);
  run.details = !o.quiet || !o.json.empty() || !o.dot.empty(); // -q alone: the exit status
  const kelsim::RunResult result = kelsim::Run(scenario, run);
  const int status = kelsim::ExitStatus(result, o.strictS3, kelsim::ParseSeverity(o.failOn));
  if (o.strictS3 && !result.resume.Clean()) {
    std::cerr << "kelsim: " << kelsim::ResumeSummary(result) << " (exit 3 with --strict-s3)\n";
  }
  if (!o.quiet) {
    text.exitStatus = status;
    kelsim::WriteText(result, text, std::cout);
    if (!std::cout.flush()) {
      std::cerr << "kelsim: standard output: the text report could not be written\n";
      return kExitInputError;
    }
  }
  if (!o.json.empty() &&
      !WriteOutput(o.json, kelsim::JsonText(result, {.events = o.jsonEvents, .pretty = o.jsonPretty}) + "\n")) {
    return kExitInputError;
  }
  if (!o.dot.empty() &&
      !WriteOutput(o.dot, [&] {
        std::ostringstream dot;
        kelsim::WriteDot(result, dot);
        return std::move(dot).str();
      }())) {
    return kExitInputError;
  }
  if (status == 4) {
    std::cerr << "kelsim: " << kelsim::FailOnReason(result, *kelsim::ParseSeverity(o.failOn))
              << " (exit 4)\n";
  }
  return status;
}

void Progress(size_t done, size_t total, const std::string &name) {
  constexpr size_t kWidth = 30;
  const size_t filled = total == 0 ? kWidth : done * kWidth / total;
  std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
            << done << "/" << total << " " << name.substr(0, 40) << std::string(10, ' ')
            << std::flush;
}

struct BatchResult {
  int status = 0;
  std::string line;
};

BatchResult RunBatchFile(const std::filesystem::path &file, const Options &o) {
  BatchResult r;
  try {
    kelsim::Scenario scenario = file.extension() == ".txt"
                                    ? kelsim::ScenarioFromCapture(file.string())
                                    : kelsim::LoadScenarioFile(file.string());
    scenario.powerOn |= o.powerOn;
    kelsim::RunOptions options = RunOptionsOf(o);
    options.details = false; // a batch prints one summary line a file
    const kelsim::RunResult run = kelsim::Run(scenario, options);
    r.status = kelsim::ExitStatus(run, o.strictS3, kelsim::ParseSeverity(o.failOn));
    r.line = kelsim::SummaryLine(run);
    if (r.status == 3) {
      r.line += " (a difference is an error with --strict-s3)";
    }
    if (r.status == 4) {
      r.line += "; " + kelsim::FailOnReason(run, *kelsim::ParseSeverity(o.failOn));
    }
  } catch (const sim::InputError &e) {
    r.status = kExitInputError;
    r.line = e.Message();
  }
  return r;
}

bool WriteAll(int fd, const void *data, size_t size) {
  const auto *p = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A worker process takes the next file from the counter the workers share,
// so that none waits idle while another still has a row of slow files, and
// sends each result down its pipe as index, status, length, text. The
// simulator binds one platform per process, so parallel runs are processes,
// not threads. The results go in bursts of up to 16 KiB, or of what 20 ms
// ran: a write and a wakeup of the collecting parent for every file cost the
// two workers a tenth of their time in the kernel.
[[noreturn]] void BatchWorker(const std::vector<std::filesystem::path> &files,
                              std::atomic<size_t> &next, const Options &o, int fd) {
  using Clock = std::chrono::steady_clock;
  std::string burst;
  auto sent = Clock::now();
  const auto send = [&] {
    if (!WriteAll(fd, burst.data(), burst.size())) {
      _exit(1);
    }
    burst.clear();
    sent = Clock::now();
  };
  for (uint64_t i = next++; i < files.size(); i = next++) {
    const BatchResult r = RunBatchFile(files[i], o);
    const int32_t status = r.status;
    const auto length = static_cast<uint32_t>(r.line.size());
    burst.append(reinterpret_cast<const char *>(&i), sizeof i);
    burst.append(reinterpret_cast<const char *>(&status), sizeof status);
    burst.append(reinterpret_cast<const char *>(&length), sizeof length);
    burst += r.line;
    if (burst.size() >= 16 * 1024 || Clock::now() - sent >= std::chrono::milliseconds(20)) {
      send();
    }
  }
  send(); // what the last burst held, however few
  close(fd);
  _exit(0);
}

// A worker's results as they arrive, whole records handed on.
class WorkerPipe {
public:
  explicit WorkerPipe(int fd) : fd_(fd) {}
  int Fd() const { return fd_; }
  // Reads what the pipe holds; false at its end.
  template <typename Take> bool Drain(Take &&take) {
    std::array<char, 64 * 1024> chunk;
    const ssize_t n = read(fd_, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) {
      return true;
    }
    if (n <= 0) {
      return false;
    }
    pending_.append(chunk.data(), static_cast<size_t>(n));
    constexpr size_t kHeader = sizeof(uint64_t) + sizeof(int32_t) + sizeof(uint32_t);
    size_t at = 0;
    while (pending_.size() - at >= kHeader) {
      uint64_t index = 0;
      int32_t status = 0;
      uint32_t length = 0;
      const char *record = pending_.data() + at;
      std::memcpy(&index, record, sizeof index);
      std::memcpy(&status, record + sizeof index, sizeof status);
      std::memcpy(&length, record + sizeof index + sizeof status, sizeof length);
      if (pending_.size() - at - kHeader < length) {
        break;
      }
      take(index, BatchResult{status, pending_.substr(at + kHeader, length)});
      at += kHeader + length;
    }
    pending_.erase(0, at);
    return true;
  }

private:
  int fd_;
  std::string pending_;
};

// Results in input order, whatever order the workers finish in.
class BatchRunner {
public:
  BatchRunner(const std::vector<std::filesystem::path> &files, size_t jobs, const Options &o)
      : files_(files), jobs_(std::min(jobs, files.size())), options_(o) {
    if (jobs_ <= 1) {
      return;
    }
    static_assert(std::atomic<size_t>::is_always_lock_free); // shared between processes
    void *shared = mmap(nullptr, sizeof(std::atomic<size_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
      return;
    }
    next_ = new (shared) std::atomic<size_t>(0);
    results_.resize(files_.size());
    std::cout.flush();
    for (size_t w = 0; w < jobs_; ++w) {
      int fds[2];
      if (pipe(fds) != 0) {
        break;
      }
      const pid_t pid = fork();
      if (pid == 0) {
        close(fds[0]);
        for (const WorkerPipe &other : pipes_) {
          close(other.Fd());
        }
        BatchWorker(files_, *next_, options_, fds[1]);
      }
      close(fds[1]);
      if (pid < 0) {
        close(fds[0]);
        break;
      }
      pipes_.emplace_back(fds[0]);
      workers_.push_back(pid);
    }
    if (pipes_.size() != jobs_) { // could not start them all: run here instead
      Stop();
    }
  }
  ~BatchRunner() { Stop(); }
  BatchResult Result(size_t i) {
    if (next_ == nullptr) {
      return RunBatchFile(files_[i], options_);
    }
    while (!results_[i] && ReadAny()) {
    }
    if (!results_[i]) {
      return {kExitInputError, files_[i].string() + ": the worker running it ended without a result"};
    }
    return std::move(*results_[i]);
  }

private:
  // Waits for any worker's results; false once every pipe has ended. An
  // ended pipe's descriptor is -1, which poll passes over.
  bool ReadAny() {
    std::vector<pollfd> waits;
    bool open = false;
    for (const WorkerPipe &p : pipes_) {
      waits.push_back({.fd = p.Fd(), .events = POLLIN, .revents = 0});
      open = open || p.Fd() >= 0;
    }
    if (!open) {
      return false;
    }
    if (poll(waits.data(), waits.size(), -1) < 0) {
      return errno == EINTR; // a signal: wait again
    }
    for (size_t k = 0; k < waits.size(); ++k) {
      if (waits[k].revents == 0) {
        continue;
      }
      WorkerPipe &pipe = pipes_[k];
      const bool more = pipe.Drain([this](uint64_t index, BatchResult &&r) {
        if (index < results_.size()) {
          results_[index] = std::move(r);
        }
      });
      if (!more) {
        close(pipe.Fd());
        pipe = WorkerPipe(-1);
      }
    }
    return true;
  }
  void Stop() {
    for (const WorkerPipe &p : pipes_) {
      if (p.Fd() >= 0) {
        close(p.Fd());
      }
    }
    for (const pid_t pid : workers_) {
      waitpid(pid, nullptr, 0);
    }
    pipes_.clear();
    workers_.clear();
    if (next_ != nullptr) {
      munmap(next_, sizeof *next_);
      next_ = nullptr;
    }
  }
  const std::vector<std::filesystem::path> &files_;
  size_t jobs_;
  const Options &options_;
  std::atomic<size_t> *next_ = nullptr; // the next file to take, in memory the workers share
  std::vector<WorkerPipe> pipes_;
  std::vector<pid_t> workers_;
  std::vector<std::optional<BatchResult>> results_;
};

// An option that would do nothing in the mode chosen is refused rather than
// ignored; empty when the options fit together.
constexpr const char *kTextReportOptions[] = {
    "--levels",     "--no-trace", "--no-writes", "--no-script", "--no-devices",  "--no-features",
    "--no-accesses", "--full",    "--trace",     "--writes",    "--script",      "--accesses",
    "--smn-traffic"};

std::string ModeConflict(const CLI::App &app, const Options &o) {
  if (!o.compare.empty()) {
    std::vector<const char *> others = {
        "platform", "--lspci",   "--sysfs",     "--large",       "--batch",     "--jobs",
        "--json",   "--json-pretty", "--json-events", "--dot",   "--emit-platform", "--port",
        "--no-pass", "--power-on", "--quiet",    "--strict-s3", "--fail-on",   "--audit",
        "--no-audit"};
    others.insert(others.end(), std::begin(kTextReportOptions), std::end(kTextReportOptions));
    for (const char *option : others) {
      if (app.count(option) != 0) {
        return std::string(option == std::string("platform") ? "a platform file" : option) +
               " does not apply to --compare, which runs its two sides itself";
      }
    }
    return "";
  }
  const bool batch = !o.batch.empty();
  if (batch) {
    std::vector<const char *> oneRun = {"--json",  "--json-pretty", "--json-events", "--dot",
                                        "--emit-platform", "--lspci", "--sysfs", "--port",
                                        "--large", "--quiet"};
    oneRun.insert(oneRun.end(), std::begin(kTextReportOptions), std::end(kTextReportOptions));
    for (const char *option : oneRun) {
      if (app.count(option) != 0) {
        return std::string(option) +
               " applies to one run; a batch prints one line per file (give one file instead of "
               "--batch)";
      }
    }
    if (!o.platform.empty()) {
      return "give a platform file or --batch, not both";
    }
    if (o.noAudit && !o.failOn.empty()) {
      return "--fail-on needs the audit that --no-audit turns off";
    }
    return "";
  }
  if (app.count("--jobs") != 0) {
    return "--jobs applies to --batch only";
  }
  for (const char *option : {"--json-pretty", "--json-events"}) {
    if (app.count(option) != 0 && o.json.empty()) {
      return std::string(option) + " shapes the JSON report: give --json FILE";
    }
  }
  if (o.noAudit && (o.audit || !o.failOn.empty())) {
    return std::string(o.audit ? "--audit" : "--fail-on") + " needs the audit that --no-audit "
                                                              "turns off";
  }
  const int sources = (o.platform.empty() ? 0 : 1) + (o.lspci.empty() ? 0 : 1) +
                      (o.useSysfs ? 1 : 0) + (o.large ? 1 : 0);
  if (sources > 1) {
    return "give one platform: a platform file, --lspci, --sysfs or --large";
  }
  if (o.quiet) {
    for (const char *option : kTextReportOptions) {
      if (app.count(option) != 0) {
        return std::string(option) + " shapes the text report, which -q leaves out";
      }
    }
    if (o.json.empty() && o.dot.empty() && o.emitPlatform.empty() && !o.strictS3 &&
        o.failOn.empty()) {
      return "-q leaves nothing to show: add --json, --dot or --emit-platform, or --fail-on or "
             "--strict-s3 to be answered by the exit status";
    }
  }
  return "";
}

// Both sides, then one line per differing link or function.
int RunCompare(const Options &o) {
  kelsim::Comparison c;
  try {
    c = kelsim::Compare(kelsim::ComparisonSide(o.compare[0]), kelsim::ComparisonSide(o.compare[1]));
  } catch (const sim::InputError &e) {
    std::cerr << "kelsim: " << e.Message() << "\n";
    return kExitInputError;
  }
  std::cout << "A: " << o.compare[0] << "\nB: " << o.compare[1] << "\n";
  for (const std::string &line : c.lines) {
    std::cout << line << "\n";
  }
  std::cout << (c.Same() ? "same: no link or function differs\n"
                         : fmt::format("{} differing, {} only in A, {} only in B (A | B)\n",
                                       c.differing, c.onlyA, c.onlyB));
  return c.Same() ? 0 : kExitDifferent;
}

// A batch frees and allocates the same few thousand small blocks for every
// file, and glibc keeps only 7 freed blocks of a size on its fast path, so
// most of them took the slow one: a fifth of a batch's time. That cache's
// size is read once, at start-up, from GLIBC_TUNABLES, so a batch starts
// itself again once with it set. Should that fail, the batch runs as it is.
void ReexecWithLargerMallocCache(char **argv) {
  constexpr const char *kTunable = "glibc.malloc.tcache_count";
  const char *set = std::getenv("GLIBC_TUNABLES");
  const std::string tunables = set != nullptr ? set : "";
  if (tunables.find(kTunable) != std::string::npos || getauxval(AT_SECURE) != 0) {
    return; // already started so, the user chose the value, or glibc would drop it
  }
  const std::string value = (tunables.empty() ? "" : tunables + ":") + kTunable + "=1000";
  // The link's target, not the link: under valgrind the link is valgrind.
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && setenv("GLIBC_TUNABLES", value.c_str(), 1) == 0) {
    execv(self.c_str(), argv);
  }
}

int RunBatch(const Options &o) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(o.batch, error)) {
    if (entry.is_regular_file() &&
        (entry.path().extension() == ".json" || entry.path().extension() == ".txt")) {
      files.push_back(entry.path());
    }
  }
  if (error) {
    std::cerr << "kelsim: " << o.batch << ": " << error.message() << "\n";
    return kExitInputError;
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::cerr << "kelsim: " << o.batch << ": no platform files (*.json) or captures (*.txt) to run\n";
    return kExitInputError;
  }
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const size_t jobs = o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  BatchRunner runner(files, jobs, o);
  int worst = 0;
  size_t ok = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (terminal) {
      Progress(i, files.size(), files[i].filename().string());
    }
    const BatchResult r = runner.Result(i);
    if (terminal) {
      std::cerr << "\r" << std::string(90, ' ') << "\r";
    }
    std::cout << (r.status == 0 ? "PASS " : "FAIL ") << r.line << "\n";
    ok += r.status == 0 ? 1 : 0;
    worst = kelsim::WorseStatus(worst, r.status);
  }
  if (terminal) {
    Progress(files.size(), files.size(), "");
    std::cerr << "\n";
  }
  std::cout << "total: " << files.size() << " platforms, " << ok << " ok, " << files.size() - ok
            << " failed\n";
  return worst;
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"kelsim: run the PCIe driver on a simulated platform and show what it programs"};
  Options o;
  app.add_option("platform", o.platform, "platform file (JSON); the built-in reference platform if none")
      ->check(CLI::ExistingFile);
  app.add_option("--lspci", o.lspci,
                 "a machine's lspci -xxx/-xxxx capture (also -vvvxxxx), or - for standard "
                 "input: one silicon, its root ports as engines");
  app.add_option("--sysfs", o.sysfs,
                 "read this machine's configuration space as lspci does, from "
                 "ROOT/sys/bus/pci/devices (default ROOT /); run as root for all of it")
      ->expected(0, 1);
  app.add_option("--port", o.portEdits,
                 "set engine fields of the root port at bb:dd.f, what-if style: "
                 "bb:dd.f:FIELD=VALUE[,FIELD=VALUE], e.g. 00:1c.0:PortPmOptions=0x30,ClkReqMap=1")
      ->take_all();
  app.add_option("--json", o.json, "write the whole report as JSON to this file (compact)");
  app.add_flag("--json-pretty", o.jsonPretty, "indent the JSON report");
  app.add_flag("--json-events", o.jsonEvents,
               "add every logged event in order to the JSON report: each access, trace line and "
               "pass step (most of its size)");
  app.add_option("--dot", o.dot, "write the device tree as a Graphviz graph to this file");
  app.add_option("--levels", o.levels,
                 "trace levels to show, comma-separated, any case: all, pcie (0x100000), aer "
                 "(0x200000), service (0x2000000), driver (0x4000000000000), hook "
                 "(0x20000000000000), or a mask of those bits");
  app.add_option("--batch", o.batch,
                 "run every platform file (*.json) and capture (*.txt) of this folder")
      ->check(CLI::ExistingDirectory);
  app.add_option("--jobs,-j", o.jobs,
                 "with --batch, run this many files at once, each in its own process; "
                 "results stay in the files' order (default: one per core)")
      ->check(CLI::Range(1u, 256u));
  app.add_option("--compare", o.compare,
                 "compare two sides, each a capture (as its machine stood), a platform file (the "
                 "driver's result) or a kelsim JSON report: the links and functions that differ")
      ->expected(2);
  app.add_flag("--strict-s3", o.strictS3, "an S3 resume difference is an error (exit status 3)");
  app.add_flag("--full", o.full,
               "the complete report: also the driver trace, every hardware write with the SMN "
               "index/data traffic, the S3 boot script, each RAS group write and the accesses "
               "per step");
  app.add_flag("--trace", o.showTrace, "add the driver trace to the text report");
  app.add_flag("--writes", o.showWrites,
               "add every hardware write to the text report (each SMN write once)");
  app.add_flag("--smn-traffic", o.smnTraffic,
               "with the writes, also the SMN index/data pair's configuration writes");
  app.add_flag("--script", o.showScript, "add the S3 boot script to the text report");
  app.add_flag("--accesses", o.showAccesses, "add the pass's accesses per step to the text report");
  app.add_flag("--no-trace", o.noTrace, "leave the driver trace out of the text report (with --full)");
  app.add_flag("--no-writes", o.noWrites,
               "leave the hardware writes out of the text report (with --full)");
  app.add_flag("--no-script", o.noScript,
               "leave the S3 boot script out of the text report (with --full)");
  app.add_flag("--no-devices", o.noDevices, "leave the per-function state out of the text report");
  app.add_flag("--no-features", o.noFeatures,
               "leave the engines, straps, CLKREQ# map, AER table and RAS groups out of the text report");
  app.add_flag("--no-accesses", o.noAccesses,
               "leave the pass's accesses per step out of the text report (with --full)");
  app.add_flag("--large", o.large,
               "run the built-in large platform (4 silicons, 64 root ports, 1,500 functions) "
               "instead of the reference platform");
  app.add_flag("--audit", o.audit,
               "check the state the run ends with against the PCI Express rules and the "
               "driver's blacklists (docs/audit.md); on unless --no-audit");
  app.add_flag("--no-audit", o.noAudit, "leave the audit out");
  app.add_option("--fail-on", o.failOn,
                 "exit 4 when the audit finds something this severe or worse")
      ->check(CLI::IsMember({"error", "warning", "info"}));
  app.add_flag("--no-pass", o.noPass,
               "do not run the driver: show and audit the platform as it stands (a capture as "
               "its machine was)");
  app.add_option("--emit-platform", o.emitPlatform,
                 "write the platform being run, as it stands before the pass, as a platform file "
                 "(and its configuration space as an lspci capture beside it) to start from");
  app.add_flag("--power-on", o.powerOn,
               "return every control register to its reset value before anything runs, so a "
               "capture of a running machine stands for its cold boot (docs/kelsim.md)");
  app.add_flag("--quiet,-q", o.quiet, "no text report (with --json or --dot)");
  app.footer("Exit status: 0 done, 1 fatal stop, 2 bad input, 3 S3 resume difference with "
             "--strict-s3, 4 an audit finding at --fail-on or worse, 5 --compare found a "
             "difference; a batch exits with the most serious of its files' (2, then 1, then 4, "
             "then 3).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? 0 : kExitInputError;
  }
  o.useSysfs = app.count("--sysfs") != 0;
  o.levelsGiven = app.count("--levels") != 0;
  uint64_t levels = 0;
  if (!kelsim::ParseLevels(o.levels, levels)) {
    std::cerr << "kelsim: --levels: '" << o.levels << "' names no debug level\n";
    return kExitInputError;
  }
  if (const std::string conflict = ModeConflict(app, o); !conflict.empty()) {
    std::cerr << "kelsim: " << conflict << "\n";
    return kExitInputError;
  }
  if (!o.compare.empty()) {
    return RunCompare(o);
  }
  if (!o.batch.empty()) {
    ReexecWithLargerMallocCache(argv);
    return RunBatch(o);
  }
  return RunOne(o, levels);
}
