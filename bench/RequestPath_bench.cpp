// The upload request path on a 16 MiB percent-encoded batch body, beside two floors measured in
// the same run: copying the body in memory and writing the saved bytes to a file. The table at
// the end divides each time by the floors, so results compare across machines.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "host/Host.h"
#include "web/HTTPApp.h"

namespace orvo {
namespace {

constexpr size_t kBodySize = 16 << 20;
constexpr char kSaved[] = "C:\\bench\\batch.dwl";

// The short fields first, then xmldata: lower-case text with about one escape in eight bytes
// and a '+' now and then, as a batch of XML arrives from the sales representatives.
std::string MakeBody() {
  std::string body =
      "loja=VESTRA&tag=ABCDEF&representante=123456&coddh=20261209123&totallote=00012345&xmldata=";
  body.reserve(kBodySize);
  std::mt19937 random(1);
  const char hex[] = "0123456789ABCDEF";
  while (body.size() + 3 <= kBodySize) {
    uint32_t r = random();
    if (r % 8 == 0) {
      body += '%';
      body += hex[(r >> 8) & 15];
      body += hex[(r >> 12) & 15];
    } else if (r % 29 == 0) {
      body += '+';
    } else {
      body += static_cast<char>('a' + (r >> 8) % 26);
    }
  }
  body.resize(kBodySize, 'a');
  return body;
}

const std::string& Body() {
  static const std::string body = MakeBody();
  return body;
}

const TStringList& Fields() {
  static const std::unique_ptr<TStringList> fields = [] {
    auto list = std::make_unique<TStringList>();
    ExtractFields(Body(), *list);
    return list;
  }();
  return *fields;
}

// The bytes the save writes: the batch and its line end.
const std::string& SavedText() {
  static const std::string text = Fields().Values("xmldata") + "\r\n";
  return text;
}

void SetBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// ---- Floors ----

void Floor_CopyBody(benchmark::State& state) {
  std::string copy(Body().size(), '\0');
  for (auto _ : state) {
    std::memcpy(copy.data(), Body().data(), Body().size());
    benchmark::ClobberMemory();
  }
  SetBytes(state, Body().size());
}

void Floor_WriteSavedBytes(benchmark::State& state) {
  for (auto _ : state) {
    TFileStream stream(kSaved, fmCreate);
    stream.WriteBuffer(SavedText().data(), static_cast<int32_t>(SavedText().size()));
  }
  SetBytes(state, SavedText().size());
}

// ---- Request path ----

void Request_ExtractFields(benchmark::State& state) {
  for (auto _ : state) {
    TStringList fields;
    ExtractFields(Body(), fields);
    benchmark::DoNotOptimize(fields.Count());
  }
  SetBytes(state, Body().size());
}

void Request_DecodeURLText(benchmark::State& state) {
  const std::string field = Body().substr(Body().find("xmldata="));
  for (auto _ : state) benchmark::DoNotOptimize(DecodeURLText(field));
  SetBytes(state, field.size());
}

void Request_FieldLookup(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Fields().Values("xmldata"));
  SetBytes(state, SavedText().size());
}

void Request_ListSave(benchmark::State& state) {
  TStringList batch;
  batch.Add(Fields().Values("xmldata"));
  for (auto _ : state) {
    TFileStream stream(kSaved, fmCreate);
    batch.SaveToStream(stream);
  }
  SetBytes(state, SavedText().size());
}

// What the upload handler does with the body, short of the configuration and the folder.
void Request_Whole(benchmark::State& state) {
  for (auto _ : state) {
    TStringList fields;
    ExtractFields(Body(), fields);
    TStringList batch;
    batch.Add(fields.Values("xmldata"));
    TFileStream stream(kSaved, fmCreate);
    batch.SaveToStream(stream);
  }
  SetBytes(state, Body().size());
}

BENCHMARK(Floor_CopyBody)->Unit(benchmark::kMillisecond);
BENCHMARK(Floor_WriteSavedBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(Request_ExtractFields)->Unit(benchmark::kMillisecond);
BENCHMARK(Request_DecodeURLText)->Unit(benchmark::kMillisecond);
BENCHMARK(Request_FieldLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(Request_ListSave)->Unit(benchmark::kMillisecond);
BENCHMARK(Request_Whole)->Unit(benchmark::kMillisecond);

// Prints the usual console lines, then each benchmark's CPU time as a multiple of the floors.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With repetitions the median, reported after the repetitions, is the one kept.
    for (const Run& run : runs) {
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) continue;
      const std::string name = run.run_name.str();
      if (cpu_.count(name) == 0) order_.push_back(name);
      cpu_[name] = run.GetAdjustedCPUTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const double copy = cpu_["Floor_CopyBody"];
    const double write = cpu_["Floor_WriteSavedBytes"];
    if (copy <= 0 || write <= 0) return;  // a filter left a floor out
    std::printf("\n%-24s %12s %12s\n", "CPU time as a multiple of", "copy body", "write saved");
    for (const std::string& name : order_) {
      std::printf("%-24s %12.2f %12.2f\n", name.c_str(), cpu_[name] / copy, cpu_[name] / write);
    }
  }

 private:
  std::vector<std::string> order_;
  std::map<std::string, double> cpu_;
};

// A drive C: in a temporary folder, removed at the end.
class BenchRoot {
 public:
  BenchRoot()
      : path_(std::filesystem::temp_directory_path() /
              ("orvo-bench-" + std::to_string(std::random_device{}()))),
        host_(NewDriveRootHost(
            (std::filesystem::create_directories(path_ / "c" / "bench"), path_.string()))) {
    Host::SetDefault(host_.get());
  }
  ~BenchRoot() {
    Host::SetDefault(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  BenchRoot(const BenchRoot&) = delete;
  BenchRoot& operator=(const BenchRoot&) = delete;

 private:
  std::filesystem::path path_;
  std::unique_ptr<Host> host_;
};

}  // namespace
}  // namespace orvo

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  orvo::BenchRoot root;
  orvo::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
