#include "tests/net/bench_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// A number, or none for "-".
template <typename T>
std::optional<T> Value(const std::string& text) {
  return text == "-" ? std::nullopt : std::optional<T>(static_cast<T>(std::stod(text)));
}

// Calls row with the fields of every data line of a CSV text that has the given number of
// fields, skipping its header (first field header). Lines "#key,value" go to meta, and
// "#summary,key,value,key,value..." to summary.
template <typename Row>
void ForEachRow(const std::string& text, std::size_t fields, const char* header,
                std::map<std::string, std::string>& meta, std::map<std::string, double>& summary,
                Row row) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream cells(line);
    for (std::string field; std::getline(cells, field, ',');) {
      f.push_back(field);
    }
    if (line.rfind("#summary", 0) == 0) {
      for (std::size_t i = 1; i + 1 < f.size(); i += 2) {
        summary[f[i]] = std::stod(f[i + 1]);
      }
    } else if (line[0] == '#' && f.size() == 2) {
      meta[f[0].substr(1)] = f[1];
    } else if (f.size() == fields && f[0] != header) {
      row(f);
    }
  }
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The shell script that runs engine_run for seconds in the client namespace as options
// say, its output going where the script's goes.
std::string EngineScript(double seconds, const BenchOptions& options) {
  std::ostringstream script;
  std::ostringstream engine;
  if (options.unprivileged) {
    script << "sysctl -qw net.ipv4.ping_group_range=\"0 2147483647\" || exit 3\n";
    engine << "setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "
              "--bounding-set=-all ./engine_run";
  } else {
    engine << "'" << LUMORET_ENGINE_RUN << "'";
  }
  if (options.receive_buffer > 0) {
    engine << " --receive-buffer " << options.receive_buffer;
  }
  for (std::size_t i = 0; i < options.list_changes.size(); ++i) {
    engine << " --change-at " << options.list_changes[i].first << "=change" << i << ".ini";
  }
  engine << " " << seconds;
  // What happens during the run, at seconds into it.
  std::vector<std::pair<double, std::string>> steps;
  if (options.stop_for > 0) {
    steps.emplace_back(options.stop_at, "kill -STOP $engine");
    steps.emplace_back(options.stop_at + options.stop_for, "kill -CONT $engine");
  }
  for (const auto& [at, rules] : options.rule_changes) {
    steps.emplace_back(at, "printf '%s' '" + rules +
                               "' >rules.new && mv rules.new rules && "
                               "kill -USR1 \"$NETBENCH_RESPONDER_PID\"");
  }
  if (steps.empty()) {
    script << "exec " << engine.str() << "\n";
    return script.str();
  }
  std::stable_sort(steps.begin(), steps.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  script << engine.str() << " &\nengine=$!\n";
  double now = 0;
  for (const auto& [at, command] : steps) {
    script << "sleep " << at - now << "\n" << command << "\n";
    now = at;
  }
  script << "wait $engine\n";
  return script.str();
}

}  // namespace

BenchRun::BenchRun(const std::vector<std::string>& config_lines, const std::string& rules,
                   double seconds, const BenchOptions& options) {
  char pattern[] = "/tmp/lumoret-net.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  const std::filesystem::path dir = pattern;
  {
    std::ofstream config(dir / "config.ini");
    for (const std::string& line : config_lines) {
      config << line << "\n";
    }
    std::ofstream(dir / "rules") << rules;
    std::ofstream(dir / "engine.sh") << EngineScript(seconds, options);
    for (std::size_t i = 0; i < options.list_changes.size(); ++i) {
      std::ofstream change(dir / ("change" + std::to_string(i) + ".ini"));
      for (const std::string& line : options.list_changes[i].second) {
        change << line << "\n";
      }
    }
  }
  if (options.unprivileged) {
    // A copy, in a folder nobody may enter: no file capability comes along.
    std::filesystem::copy_file(LUMORET_ENGINE_RUN, dir / "engine_run");
    std::filesystem::permissions(
        dir, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
        std::filesystem::perm_options::add);
  }
  std::ostringstream command;
  command << "cd '" << dir.string() << "' && '" << LUMORET_NETBENCH
          << "' --rules rules --record record.csv --seed 7 --timeout "
          << static_cast<int>(std::ceil(seconds)) + 60;  // netbench takes whole seconds
  if (options.flood_rate > 0) {
    command << " --flood " << options.flood_rate;
  }
  command << " -- sh engine.sh >engine.csv 2>stderr.txt";
  const int raw = std::system(command.str().c_str());
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  const std::string engine_csv = ReadAll(dir / "engine.csv");
  output = engine_csv + ReadAll(dir / "stderr.txt");
  std::map<std::string, std::string> meta;
  const auto u32 = [](const std::string& text) {
    return static_cast<std::uint32_t>(std::stoul(text));
  };
  ForEachRow(engine_csv, 14, "index", meta, engine_summary, [&](const auto& f) {
    targets.push_back({std::stoi(f[0]), f[1], f[2] == "1", u32(f[3]), u32(f[4]), u32(f[5]),
                       Value<std::uint32_t>(f[6]), Value<std::uint32_t>(f[7]),
                       Value<std::uint32_t>(f[8]), Value<double>(f[9]), f[11] == "1", u32(f[12]),
                       u32(f[13])});
  });
  std::istringstream lines(engine_csv);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#change,", 0) == 0) {
      std::istringstream cells(line.substr(8));
      std::map<std::string, std::string>& change = changes.emplace_back();
      for (std::string key, value;
           std::getline(cells, key, ',') && std::getline(cells, value, ',');) {
        change[key] = value;
      }
    }
  }
  mode = meta["mode"];
  mode6 = meta["mode6"];
  ForEachRow(ReadAll(dir / "record.csv"), 18, "address", meta, responder_summary,
             [&](const auto& f) {
               const auto u64 = [&f](int i) { return std::stoull(f[i]); };
               records.push_back({f[0], u32(f[1]), f[2], u64(3), u64(5), f[6] == "1", f[7] == "1",
                                  u64(8), u64(10), u64(11), u64(12), u64(13), u64(15),
                                  std::stod(f[16]), std::stod(f[17])});
             });
  std::filesystem::remove_all(dir);
}

const ProberRecord* BenchRun::RecordFor(const EngineTarget& target) const {
  if (mode == "datagram") {
    std::size_t listing = 0;
    for (const EngineTarget& t : targets) {
      listing += t.index < target.index && t.host == target.host ? 1 : 0;
    }
    std::vector<const ProberRecord*> probers;
    for (const ProberRecord& r : records) {
      if (r.address == target.host) {
        probers.push_back(&r);
      }
    }
    std::sort(probers.begin(), probers.end(),
              [](const auto* a, const auto* b) { return a->identifier < b->identifier; });
    return listing < probers.size() ? probers[listing] : nullptr;
  }
  const auto pid = static_cast<std::uint64_t>(engine_summary.at("pid"));
  const auto identifier = static_cast<std::uint32_t>((pid + target.index) % 65536);
  for (const ProberRecord& r : records) {
    if (r.address == target.host && r.identifier == identifier) {
      return &r;
    }
  }
  return nullptr;
}

const EngineTarget& BenchRun::Target(const std::string& host) const {
  for (const EngineTarget& t : targets) {
    if (t.host == host) {
      return t;
    }
  }
  throw std::runtime_error("no target " + host);
}

::testing::AssertionResult BenchRun::CountsMatch(const EngineTarget& t, const ProberRecord& r) {
  // Which side of the one open request the last reply fell on: already sent by the
  // responder but not yet handled when the engine stopped, or not sent at all.
  const std::uint64_t open_answered = t.open && r.last_answered ? 1 : 0;
  const std::uint64_t open_unanswered = t.open && !r.last_answered ? 1 : 0;
  const std::uint64_t first = r.first_answered ? 1 : 0;
  if (t.sent == r.requests && r.bad_requests == 0 &&
      t.replies + first + open_answered == r.replies &&
      t.timeouts + r.replies + open_unanswered == r.requests) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << t.host << " (" << r.rule << "): sent " << t.sent << ", " << t.replies << " replies (+"
         << first << " first, +" << open_answered << " open), " << t.timeouts << " timeouts (+"
         << open_unanswered << " open); the responder got " << r.requests << " requests ("
         << r.bad_requests << " bad) and sent " << r.replies << " replies";
}

int RunIfRoot(int argc, char** argv) {
  if (geteuid() != 0) {
    std::fprintf(stderr, "skipped: the network scenario tests need root\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
