// Every failure point of the requests that write, rename, list, read configuration and download,
// taken one at a time: each request is served in-process on a fresh drive tree with one host
// call (or one allocation) failing, and must answer its failure page, keep the earlier batch
// whole and leave no temporary file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "FakeCgiHost.h"
#include "FaultHost.h"
#include "TestSupport.h"
#include "common/SysUtilsConvert.h"
#include "module/UWM.h"
#include "web/CGIApp.h"

// The program's allocations go through here, so the fault host can fail the Nth one.
void* operator new(std::size_t size) {
  if (orvo::test::allocation::ShouldFail()) throw std::bad_alloc();
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (orvo::test::allocation::ShouldFail()) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
// Not inlined: the compiler would see free() meet a block from operator new and warn.
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::FaultCall;
using test::Fields;
using test::FormBody;

const char kBatch[] = "d/Movel/Lotes/VESTRA/PED001813720240815093012000001523903";
const char kNewStoreBatch[] = "d/Movel/Novas/NOVA/PED001813720240815093012000001523903.dwl";
const char kOldBatch[] = "<velho/>\r\n";
const char kNewBatch[] = "<novo/>\r\n";
const char kDownloadHead[] =
    "Status: 200 OK\r\nContent-Type: application/octet-stream\r\nContent:\r\n\r\n";

std::string Manual() {
  std::string bytes(20000, '\0');  // three chunks of a download
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  return bytes;
}

// A drive tree with a configuration, an earlier batch awaiting verification, a sub-folder of
// batches and a manual.
class Tree {
 public:
  Tree() {
    Put("c/Orvo/Orvo.Net/Config/Orvo.Config",
        "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n"
        "[Orvo.Mobile.NOVA]\r\nPathXML=D:\\Movel\\Novas\r\n"
        "[Orvo.FrameWork]\r\nPathManuais=D:\\Manuais\r\nDBSuporte=localhost:/suporte.fdb\r\n");
    Put(std::string(kBatch) + ".dwl", kOldBatch);
    Put("d/Movel/Lotes/VESTRA/Sub/a.dwl", "a");
    Put("d/Movel/Lotes/VESTRA/Sub/b.xml", "b");
    Put("d/Manuais/guia.bin", Manual());
    fs::create_directories(Disk("d/Movel/Novas"));
  }
  std::string Disk(const std::string& relative) const { return dir_.path() + "/" + relative; }
  const std::string& Root() const { return dir_.path(); }
  void Put(const std::string& relative, const std::string& bytes) const {
    test::WriteHostFile(Disk(relative), bytes);
  }
  // The content of a file, or "(none)".
  std::string Content(const std::string& relative) const {
    return test::HostPathExists(Disk(relative)) ? test::ReadHostFile(Disk(relative)) : "(none)";
  }
  std::set<std::string> Files() const {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      if (entry.is_regular_file())
        files.insert(fs::relative(entry.path(), dir_.path()).generic_string());
    }
    return files;
  }

 private:
  test::TempDir dir_;
};

// What a request left: its output, the files that were not there before, and the descriptors
// it left open.
struct Outcome {
  std::string out;
  std::set<std::string> added;
  std::set<std::string> removed;
  long leakedDescriptors = 0;
};

// The descriptors this process holds open, where the system lists them (Linux's /proc); elsewhere
// 0, so the leak check holds there without a count.
long OpenDescriptors() {
  long count = 0;
#ifdef __linux__
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
#endif
  return count;
}

using Check = std::function<std::string(const Tree&, const Outcome&, FaultCall)>;

struct Scenario {
  const char* name;
  const char* path;
  Fields fields;
  Check check;
};

bool IsFailurePage(const std::string& out) { return out.rfind("Status: 500 ", 0) == 0; }

std::string Unexpected(const Outcome& o) { return "unexpected answer: " + o.out.substr(0, 200); }

// Files the request may add or remove besides the batch it works on: none.
std::string OnlyTouched(const Outcome& o, const std::set<std::string>& allowed) {
  for (const auto& file : o.added) {
    if (!allowed.count(file)) return "left " + file;
  }
  for (const auto& file : o.removed) {
    if (!allowed.count(file)) return "removed " + file;
  }
  return "";
}

Fields BatchFields() {
  return {{"tag", "PED001"},
          {"representante", "8137"},
          {"coddh", "20240815093012000"},
          {"totallote", "00152390"},
          {"xmldata", "<novo/>"}};
}

std::vector<Scenario> Scenarios() {
  const std::string dwl = std::string(kBatch) + ".dwl";
  const std::string xml = std::string(kBatch) + ".xml";
  Fields newStore = BatchFields();
  newStore.insert(newStore.begin(), {"loja", "NOVA"});
  return {
      {"upload over an earlier batch", "/uploadxml", BatchFields(),
       [](const Tree& tree, const Outcome& o, FaultCall) -> std::string {
         std::string content = tree.Content(std::string(kBatch) + ".dwl");
         if (o.out == test::CgiAnswer("")) {
           if (content != kNewBatch) return "answered stored, batch holds " + content;
         } else if (!IsFailurePage(o.out)) {
           return Unexpected(o);
         } else if (content != kOldBatch && content != kNewBatch) {
           return "torn batch: " + content;
         }
         return OnlyTouched(o, {});
       }},
      {"upload into a new store folder", "/uploadxml", newStore,
       [](const Tree& tree, const Outcome& o, FaultCall) -> std::string {
         std::string content = tree.Content(kNewStoreBatch);
         if (o.out == test::CgiAnswer("")) {
           if (content != kNewBatch) return "answered stored, batch holds " + content;
         } else if (!IsFailurePage(o.out)) {
           return Unexpected(o);
         } else if (content != "(none)" && content != kNewBatch) {
           return "torn batch: " + content;
         }
         return OnlyTouched(o, {std::string(kNewStoreBatch)});
       }},
      {"verification", "/xmlverify", BatchFields(),
       [dwl, xml](const Tree& tree, const Outcome& o, FaultCall) -> std::string {
         std::string pending = tree.Content(dwl);
         std::string verified = tree.Content(xml);
         if (o.out == test::CgiAnswer("Total do Lote: 1.523,90")) {
           if (verified != kOldBatch || pending != "(none)") return "answered verified, not so";
         } else if (o.out != test::CgiAnswer("Erro") && !IsFailurePage(o.out)) {
           return Unexpected(o);
         } else if ((pending == "(none)") == (verified == "(none)") ||
                    (pending != kOldBatch && verified != kOldBatch)) {
           return "batch not whole in one place: " + pending + " / " + verified;
         }
         return OnlyTouched(o, {dwl, xml});
       }},
      {"listing",
       "/listaarquivos",
       {{"filtro", "*.dwl"}},
       [](const Tree&, const Outcome& o, FaultCall) -> std::string {
         const std::string list =
             "D:\\Movel\\Lotes\\VESTRA\\Sub\\a.dwl\r\n"
             "D:\\Movel\\Lotes\\VESTRA\\PED001813720240815093012000001523903.dwl\r\n";
         if (o.out != test::CgiAnswer(list) && !IsFailurePage(o.out)) return Unexpected(o);
         return OnlyTouched(o, {});
       }},
      {"reading a batch",
       "/lerxml",
       {{"arq", "D:\\Movel\\Lotes\\VESTRA\\Sub\\b.xml"}},
       [](const Tree&, const Outcome& o, FaultCall) -> std::string {
         if (o.out != test::CgiAnswer("b\r\n") && !IsFailurePage(o.out)) return Unexpected(o);
         return OnlyTouched(o, {});
       }},
      {"manual download",
       "/lermanuais",
       {{"arq", "D:\\Manuais\\guia.bin"}, {"u", "x"}},
       [](const Tree&, const Outcome& o, FaultCall call) -> std::string {
         const std::string whole = kDownloadHead + Manual();
         // After the head has gone out a failed read can only stop the bytes.
         bool cut = call == FaultCall::kRead && o.out.size() < whole.size() &&
                    whole.compare(0, o.out.size(), o.out) == 0 &&
                    o.out.size() >= sizeof kDownloadHead - 1;
         if (o.out != whole && !IsFailurePage(o.out) && !cut) return Unexpected(o);
         return OnlyTouched(o, {});
       }},
  };
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  FaultInjectionTest() : saved_(LocaleFormats) {
    LocaleFormats.DecimalMark = ',';
    LocaleFormats.GroupMark = '.';
    // Over a thousand trees with a flush each: in memory where the machine has it.
#ifndef _WIN32
    if (const char* tmp = std::getenv("TMPDIR")) savedTmp_ = tmp;
    if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
#endif
  }
  ~FaultInjectionTest() override {
    LocaleFormats = saved_;
#ifndef _WIN32
    savedTmp_ ? setenv("TMPDIR", savedTmp_->c_str(), 1) : unsetenv("TMPDIR");
#endif
  }

  // Serves the scenario's request on `tree` with call `nth` of kind `call` failing (0: none);
  // `fault` receives the host afterwards, to read its counts.
  static Outcome Serve(const Tree& tree, const Scenario& s, FaultCall call, int nth,
                       const std::function<void(const test::FaultHost&)>& fault) {
    const std::set<std::string> before = tree.Files();
    const long descriptors = OpenDescriptors();
    Outcome outcome;
    {
      // The host keeps the folders of its last path open while it lives: counted once it is gone.
      test::FakeCgiHost cgi(tree.Root());
      const std::string body = FormBody(s.fields);
      cgi.environment = {{"REQUEST_METHOD", "POST"},
                         {"SERVER_PROTOCOL", "HTTP/1.1"},
                         {"PATH_INFO", s.path},
                         {"CONTENT_LENGTH", std::to_string(body.size())},
                         {"ORVO_CLIENT_LIBRARY", ORVO_FBSTUB}};
      cgi.input = body;
      test::FaultHost host(&cgi);
      {
        TCGIApplication application;
        application.RegisterModuleClass(ModuleClassOf<TWM1>("TWM1"));
        host.Arm(call, nth);
        application.Run();
        host.Disarm();
      }
      fault(host);
      outcome.out = cgi.Output();
    }
    outcome.leakedDescriptors = OpenDescriptors() - descriptors;
    const std::set<std::string> after = tree.Files();
    for (const auto& f : after) {
      if (!before.count(f)) outcome.added.insert(f);
    }
    for (const auto& f : before) {
      if (!after.count(f)) outcome.removed.insert(f);
    }
    return outcome;
  }

  TLocaleFormats saved_;
  std::optional<std::string> savedTmp_;
};

TEST_F(FaultInjectionTest, EveryFailurePointAnswersAFailureAndLosesNothing) {
  for (const Scenario& s : Scenarios()) {
    int calls[test::kFaultCallKinds] = {};
    // Twice: the first run also makes what a process makes once (statics, the library loaded).
    for (int run = 0; run < 2; ++run) {
      Tree tree;
      Outcome clean = Serve(tree, s, FaultCall::kOpenFile, 0, [&](const test::FaultHost& host) {
        for (size_t k = 0; k < test::kFaultCallKinds; ++k) {
          calls[k] = host.Calls(static_cast<FaultCall>(k));
        }
      });
      ASSERT_EQ(clean.out.substr(0, 15), "Status: 200 OK\r") << s.name;
      ASSERT_EQ(s.check(tree, clean, FaultCall::kOpenFile), "") << s.name;
    }
    std::cout << s.name << ":";
    for (size_t k = 0; k < test::kFaultCallKinds; ++k) {
      std::cout << " " << FaultCallName(static_cast<FaultCall>(k)) << " " << calls[k];
    }
    std::cout << " failures injected\n";
    for (size_t k = 0; k < test::kFaultCallKinds; ++k) {
      const auto call = static_cast<FaultCall>(k);
      for (int nth = 1; nth <= calls[k]; ++nth) {
        Tree tree;
        bool fired = false;
        Outcome o =
            Serve(tree, s, call, nth, [&](const test::FaultHost& host) { fired = host.Fired(); });
        const std::string where = std::string(s.name) + ": " + FaultCallName(call) + " #" +
                                  std::to_string(nth) + " of " + std::to_string(calls[k]);
        // Allocations vary with the clock: a folder proven unchanged is not read again.
        EXPECT_TRUE(fired || call == FaultCall::kAllocation) << where;
        EXPECT_EQ(s.check(tree, o, call), "") << where;
        EXPECT_EQ(o.leakedDescriptors, 0) << where;
      }
    }
  }
}

}  // namespace
}  // namespace orvo
