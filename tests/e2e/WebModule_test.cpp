// The web module end to end: the real program started on a temporary root with a configuration
// file, a prepared environment and body; its output and the files it leaves compared byte for
// byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::HostPathExists;
using test::ReadHostFile;
using test::WriteHostFile;
using Env = std::map<std::string, std::string>;
using test::CgiAnswer;
using test::Fields;
using test::FormBody;

std::string ErrorPage(const std::string& message, const std::string& path) {
  std::string page = "<html><body><h1>Internal Application Error</h1>\r\n<p>" + message +
                     "\r\n<p><hr width=\"100%\"><i>" + path + "</i></body></html>";
  return "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(page.size()) + "\r\nContent:\r\n\r\n" + page;
}

// The fields of the first worked example; the key is PED00181372024081509301200000152390.
Fields Batch(const std::string& coddh = "20240815093012000",
             const std::string& totallote = "00152390", const std::string& xmldata = "<lote/>") {
  return {{"tag", "PED001"},
          {"representante", "8137"},
          {"coddh", coddh},
          {"totallote", totallote},
          {"xmldata", xmldata}};
}

const char kStore[] = "d/Movel/Lotes/VESTRA/";
const char kFirstKey[] = "PED001813720240815093012000001523903";

class WebModuleTest : public ::testing::Test {
 protected:
  WebModuleTest() {
    fs::create_directories(Disk("c"));
    fs::create_directories(Disk("d"));
    Config(
        "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n"
        "[Orvo.FrameWork]\r\nPathImagens=D:\\Img\r\n");
  }

  std::string Disk(const std::string& relative) const { return root_.path() + "/" + relative; }
  void Config(const std::string& text) {
    WriteHostFile(Disk("c/Orvo/Orvo.Net/Config/Orvo.Config"), text);
  }

  Env Environment(const std::string& path) const {
    return {{"ORVO_ROOT", root_.path()},     {"REQUEST_METHOD", "POST"},
            {"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", path},
            {"LANG", "pt_BR.UTF-8"},         {"TZ", "UTC"}};
  }

  test::ProgramResult Run(Env env, const std::string& body) const {
    env.emplace("CONTENT_LENGTH", std::to_string(body.size()));
    auto result = test::RunProgram(ORVO_PROGRAM, env, body);
    EXPECT_EQ(result.status, 0);
    // A failure page is logged in one line; another answer logs nothing, except a failure that
    // /imagens answers as its text.
    if (result.out.rfind("Status: 500", 0) == 0 ||
        (env["PATH_INFO"] == "/imagens" && !result.err.empty())) {
      EXPECT_TRUE(test::IsFailureStderr(result.err)) << result.err;
    } else {
      EXPECT_EQ(result.err, "");
    }
    return result;
  }
  std::string Post(const std::string& path, const std::string& body) const {
    return Run(Environment(path), body).out;
  }
  std::string Post(const std::string& path, const Fields& fields) const {
    return Post(path, FormBody(fields));
  }

  // The names of a host folder's entries, sorted.
  std::vector<std::string> Names(const std::string& relative) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Disk(relative))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  void SetLocalTime(const std::string& relative, int year, int month, int day, int hour, int minute,
                    int second, int microsecond = 0) const {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    const timeval stamp{timegm(&t), microsecond};  // the program runs with TZ=UTC
    const timeval times[2] = {stamp, stamp};
    ASSERT_EQ(utimes(Disk(relative).c_str(), times), 0) << relative;
  }

  test::TempDir root_;
};

// ---- Batches ----

TEST_F(WebModuleTest, WorkedExamplesNameTheBatchByItsCheckDigit) {
  struct Case {
    Fields fields;
    std::string file;
  } cases[] = {
      {Batch(), "PED001813720240815093012000001523903"},
      {Batch("20240815090012000"), "PED001813720240815090012000001523901"},  // 21st is "0"
      {{{"tag", "PED001"},
        {"representante", "013799"},  // only the first four characters count
        {"coddh", "20240815093012000"},
        {"totallote", "00152390"},
        {"xmldata", "<lote/>"}},
       "PED001013720240815093012000001523900"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Post("/uploadxml", c.fields), CgiAnswer("")) << c.file;
    EXPECT_EQ(ReadHostFile(Disk(kStore + c.file + ".dwl")), "<lote/>\r\n") << c.file;
  }
  EXPECT_EQ(Post("/xmlverify", Batch()), CgiAnswer("Total do Lote: 1.523,90"));
  EXPECT_FALSE(HostPathExists(Disk(kStore + std::string(kFirstKey) + ".dwl")));
  EXPECT_EQ(ReadHostFile(Disk(kStore + std::string(kFirstKey) + ".xml")), "<lote/>\r\n");
}

TEST_F(WebModuleTest, BatchStates) {
  const std::string dwl = Disk(kStore + std::string(kFirstKey) + ".dwl");
  const std::string xml = Disk(kStore + std::string(kFirstKey) + ".xml");

  EXPECT_EQ(Post("/xmlverify", Batch()), CgiAnswer("Erro"));  // absent
  EXPECT_FALSE(HostPathExists(Disk(kStore)));                 // verification creates nothing

  Post("/uploadxml", Batch("20240815093012000", "00152390", "first"));
  Post("/uploadxml", Batch("20240815093012000", "00152390", "a\r\nb"));  // replaces the first
  EXPECT_EQ(ReadHostFile(dwl), "a\r\nb\r\n");

  EXPECT_EQ(Post("/xmlverify", Batch()), CgiAnswer("Total do Lote: 1.523,90"));
  EXPECT_EQ(Post("/xmlverify", Batch()), CgiAnswer("Erro"));  // verified already
  EXPECT_EQ(ReadHostFile(xml), "a\r\nb\r\n");

  Post("/uploadxml", Batch("20240815093012000", "00152390", ""));  // uploaded again
  EXPECT_EQ(ReadHostFile(dwl), "\r\n");
  EXPECT_EQ(Post("/xmlverify", Batch()), CgiAnswer("Erro"));  // the move fails, both stay
  EXPECT_EQ(ReadHostFile(dwl), "\r\n");
  EXPECT_EQ(ReadHostFile(xml), "a\r\nb\r\n");
}

TEST_F(WebModuleTest, KeysWithoutCheckDigitFail) {
  // No fields at all: the key is empty. Verification creates nothing on its way.
  EXPECT_EQ(Post("/xmlverify", ""), ErrorPage("'' is not a valid integer value", "/xmlverify"));
  EXPECT_FALSE(HostPathExists(Disk(kStore)));

  // The query string is never read.
  Env env = Environment("/uploadxml");
  env["QUERY_STRING"] = FormBody(Batch());
  EXPECT_EQ(Run(env, "").out, ErrorPage("'' is not a valid integer value", "/uploadxml"));

  // The digit fails before the store folder is made: a failed upload leaves nothing.
  Fields fields = Batch();
  fields[1].second = "x137";
  EXPECT_EQ(Post("/uploadxml", fields),
            ErrorPage("'x' is not a valid integer value", "/uploadxml"));
  EXPECT_FALSE(HostPathExists(Disk(kStore)));
}

TEST_F(WebModuleTest, StoreCodeChoosesSectionAndFolder) {
  Config(
      "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n"
      "[Orvo.Mobile.L2]\r\nPathXML=D:\\Outra\r\n");
  Fields fields = Batch();
  fields.emplace_back("loja", "   ");  // blanks only: the default store
  Post("/uploadxml", fields);
  EXPECT_TRUE(HostPathExists(Disk(kStore + std::string(kFirstKey) + ".dwl")));

  fields.back().second = "L2";
  Post("/uploadxml", fields);
  EXPECT_TRUE(HostPathExists(Disk("d/Outra/L2/" + std::string(kFirstKey) + ".dwl")));
  EXPECT_EQ(Post("/xmlverify", fields), CgiAnswer("Total do Lote: 1.523,90"));
  EXPECT_TRUE(HostPathExists(Disk("d/Outra/L2/" + std::string(kFirstKey) + ".xml")));

  // A store without a section: the folder of that name at the root of the current drive.
  fields.back().second = " L3 ";
  Post("/uploadxml", fields);
  // The surrounding spaces stay in the code; the path rules drop the trailing one.
  EXPECT_TRUE(HostPathExists(Disk("c/ L3/" + std::string(kFirstKey) + ".dwl")));
}

TEST_F(WebModuleTest, WithoutConfigurationTheStoreLivesAtTheDriveRoot) {
  fs::remove(Disk("c/Orvo/Orvo.Net/Config/Orvo.Config"));
  Post("/uploadxml", Batch());
  EXPECT_EQ(ReadHostFile(Disk("c/VESTRA/" + std::string(kFirstKey) + ".dwl")), "<lote/>\r\n");
  EXPECT_EQ(Post("/listaarquivos", Fields{{"filtro", "*.dwl"}}),
            CgiAnswer("\\VESTRA\\" + std::string(kFirstKey) + ".dwl\r\n"));
}

// ---- Sound behaviour where the description's answers would mislead the client ----

TEST_F(WebModuleTest, UploadFailsWhenTheStoreFolderCannotBeMade) {
  Config("[Orvo.Mobile.VESTRA]\r\nPathXML=Q:\\Lotes\r\n[Orvo.Mobile.F]\r\nPathXML=D:\\arquivo\r\n");
  EXPECT_EQ(Post("/uploadxml", Batch()),
            ErrorPage("Unable to create directory \"Q:\\Lotes\\VESTRA\"", "/uploadxml"));

  WriteHostFile(Disk("d/arquivo"), "x");  // a file where a folder should be
  Fields fields = Batch();
  fields.emplace_back("loja", "F");
  EXPECT_EQ(Post("/uploadxml", fields),
            ErrorPage("Unable to create directory \"D:\\arquivo\\F\"", "/uploadxml"));
  EXPECT_EQ(Names("d"), std::vector<std::string>{"arquivo"});
}

TEST_F(WebModuleTest, TornUploadStoresNothing) {
  const std::string body = FormBody(Batch());
  const std::string cutShort = "Incomplete request body: " + std::to_string(body.size()) + " of " +
                               std::to_string(body.size() + 10) + " bytes received";
  Env env = Environment("/uploadxml");
  env["CONTENT_LENGTH"] = std::to_string(body.size() + 10);
  auto result = test::RunProgram(ORVO_PROGRAM, env, body);
  EXPECT_EQ(result.out, ErrorPage(cutShort, "/uploadxml"));
  EXPECT_EQ(Names("d"), std::vector<std::string>{});
  EXPECT_TRUE(test::IsFailureStderr(result.err, " POST /uploadxml EWebException: " + cutShort))
      << result.err;

  // Another endpoint answers what arrived; the operator still learns that it was cut short.
  Env other = env;
  other["PATH_INFO"] = "/importarxml";
  result = test::RunProgram(ORVO_PROGRAM, other, body);
  EXPECT_EQ(result.out, CgiAnswer("Arquivo n\xE3o encontrado"));
  EXPECT_TRUE(test::IsFailureStderr(result.err, " POST /importarxml EWebException: " + cutShort))
      << result.err;

  // Bytes beyond the declared length are not read, and what was declared arrived whole.
  env["CONTENT_LENGTH"] = std::to_string(body.size());
  EXPECT_EQ(test::RunProgram(ORVO_PROGRAM, env, body + "&tag=X").out, CgiAnswer(""));
  EXPECT_TRUE(HostPathExists(Disk(kStore + std::string(kFirstKey) + ".dwl")));
}

TEST_F(WebModuleTest, FailedSaveLeavesNoBatchFile) {
  Fields fields = Batch();
  fields[0].second = "PED*01";  // a name the file system refuses
  const std::string out = Post("/uploadxml", fields);
  EXPECT_NE(out.find("Cannot create file \"D:\\Movel\\Lotes\\VESTRA\\PED*01"), std::string::npos)
      << out;
  EXPECT_FALSE(HostPathExists(Disk(kStore)));  // neither the batch, nor a scrap, nor its folder
}

TEST_F(WebModuleTest, SaveCutShortLeavesNoPendingFile) {
  Post("/uploadxml", Batch());
  const std::string body =
      FormBody(Batch("20240815093012000", "00152390", std::string(64 << 20, 'x')));
  WriteHostFile(Disk("body"), body);
  Env env = Environment("/uploadxml");
  env["CONTENT_LENGTH"] = std::to_string(body.size());
  env["PROGRAM"] = ORVO_PROGRAM;
  env["BODY"] = Disk("body");
  env["STORE"] = Disk(kStore);
  // SIGTERM as soon as the pending file appears; tried again in the unlikely case that the
  // whole save got through first.
  auto result = test::RunScript(R"(shopt -s nullglob
    for try in 1 2 3 4 5; do
      "$PROGRAM" <"$BODY" >/dev/null & pid=$!
      pending=()
      while [ ${#pending[@]} -eq 0 ] && kill -0 $pid 2>/dev/null; do pending=("$STORE"/.~orvo/*); done
      kill -TERM $pid 2>/dev/null; wait $pid; status=$?
      [ $status -ne 0 ] && break
    done
    echo $status)",
                                env);
  EXPECT_EQ(result.out, "143\n");  // ended by the signal, as without the removal
  // The pending files' folder is left, empty, until the next save in the store.
  EXPECT_EQ(Names(kStore), (std::vector<std::string>{".~orvo", std::string(kFirstKey) + ".dwl"}));
  EXPECT_EQ(ReadHostFile(Disk(kStore + std::string(kFirstKey) + ".dwl")), "<lote/>\r\n");

  // A kill that cannot be caught leaves its file; a save removes those an hour old.
  const std::string killed = ".~orvo/0123456789abcdef.tmp", busy = ".~orvo/fedcba9876543210.tmp";
  for (const std::string& name : {killed, busy, std::string(".oculto.tmp")}) {
    WriteHostFile(Disk(kStore + name), name);
  }
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(61);
  fs::last_write_time(Disk(kStore + killed), old);
  fs::last_write_time(Disk(kStore + std::string(".oculto.tmp")), old);
  Post("/uploadxml", Batch());
  EXPECT_EQ(Names(kStore),
            (std::vector<std::string>{".oculto.tmp", ".~orvo", std::string(kFirstKey) + ".dwl"}));
  EXPECT_EQ(Names(kStore + std::string(".~orvo")),
            std::vector<std::string>{"fedcba9876543210.tmp"});
  // Once the last pending file is gone, the next save takes the folder with it.
  fs::remove(Disk(kStore + busy));
  Post("/uploadxml", Batch());
  EXPECT_EQ(Names(kStore),
            (std::vector<std::string>{".oculto.tmp", std::string(kFirstKey) + ".dwl"}));
}

TEST_F(WebModuleTest, BatchIsNeverSeenHalfWritten) {
  const std::string xmldata(4 << 20, 'x');
  const std::string file = Disk(kStore + std::string(kFirstKey) + ".dwl");
  const off_t whole = static_cast<off_t>(xmldata.size() + 2);
  std::atomic<bool> done{false};
  std::thread upload([&] {
    Post("/uploadxml", Batch("20240815093012000", "00152390", xmldata));
    done = true;
  });
  int torn = 0;
  while (!done) {
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && info.st_size != whole) ++torn;
  }
  upload.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(ReadHostFile(file).size(), static_cast<size_t>(whole));
}

// A large batch is written as its body arrives into the store folder that the fields before it
// name, where that folder exists; where it is missing the body is read whole first. Both end
// alike: the same answer and the same files, whatever fails and in whichever order.
TEST_F(WebModuleTest, LargeBatchesEndAlikeWhetherStoredAsTheyArriveOrWhole) {
  Config(
      "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n"
      "[Orvo.Mobile.OUTRA]\r\nPathXML=E:\\Outro\r\n");
  const std::string big(300000, 'x');
  const std::string names =
      "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390";
  const std::string head = "loja=VESTRA&" + names + "&xmldata=";
  const struct {
    std::string body;
    size_t missing;  // bytes declared but never sent
  } cases[] = {
      {head + "%3Clote%3E+" + big + "%25\r\n", 0},
      {names + "&xmldata=" + big, 0},
      {head + big, 10},
      {head + big + "%zz" + big, 0},
      {head + big + "%4", 0},
      {head + big + "&b=%zz", 0},
      {head + big + "%zz", 10},
      {head + big + std::string("\0&b=%zz", 7), 0},
      {head + "\"" + big + "\"x&b=1", 0},
      {"xmldata=" + big + "&loja=OUTRA&" + names, 0},
      {"xmldata=" + big + "&" + names + "&coddh=x", 0},
      {"tag=PED%5C001&" + names.substr(11) + "&xmldata=" + big, 0},
      {"a=" + big + "&" + head + "y", 0},
  };
  auto run = [&](const std::string& body, size_t missing) {
    Env env = Environment("/uploadxml");
    env["CONTENT_LENGTH"] = std::to_string(body.size() + missing);
    std::string answer = test::RunProgram(ORVO_PROGRAM, env, body).out;
    for (const auto& entry : fs::recursive_directory_iterator(Disk(""))) {
      if (!entry.is_regular_file() || entry.path().filename() == "Orvo.Config") continue;
      answer += " " + entry.path().string() + "=" + std::to_string(entry.file_size());
    }
    return answer;
  };
  auto clear = [&] {
    fs::remove_all(Disk("d/Movel"));
    fs::remove_all(Disk("e/Outro"));
    fs::create_directories(Disk("e"));
  };
  for (const auto& c : cases) {
    clear();
    const std::string whole = run(c.body, c.missing);
    clear();
    fs::create_directories(Disk(kStore));
    EXPECT_EQ(run(c.body, c.missing), whole) << c.body.substr(0, 120);
  }

  // The first bytes of the batch reach its pending file before the rest of the body is sent.
  WriteHostFile(Disk("body"), cases[0].body);
  Env env = Environment("/uploadxml");
  env["CONTENT_LENGTH"] = std::to_string(cases[0].body.size());
  env["PROGRAM"] = ORVO_PROGRAM;
  env["BODY"] = Disk("body");
  env["PENDING"] = Disk(kStore + std::string(".~orvo"));
  auto result = test::RunScript(R"(shopt -s nullglob
    { head -c 200000 "$BODY"
      for i in $(seq 200); do f=("$PENDING"/*); [ -s "${f[0]:-}" ] && break; sleep 0.05; done
      [ -s "${f[0]:-}" ] && echo arrived >&2
      tail -c +200001 "$BODY"; } | "$PROGRAM")",
                                env);
  EXPECT_EQ(result.out, CgiAnswer(""));
  EXPECT_EQ(result.err, "arrived\n");
  EXPECT_EQ(ReadHostFile(Disk(kStore + std::string(kFirstKey) + ".dwl")),
            "<lote> " + big + "%\r\n");
}

TEST_F(WebModuleTest, TotalThatDoesNotConvertLeavesTheBatchPending) {
  const std::string dwl = Disk(kStore + std::string(kFirstKey) + ".dwl");
  Post("/uploadxml", Batch());
  // With "." as decimal mark the inserted "," does not convert.
  Env env = Environment("/xmlverify");
  env["LANG"] = "C";
  EXPECT_EQ(Run(env, FormBody(Batch())).out,
            ErrorPage("'001523,90' is not a valid floating point value", "/xmlverify"));
  EXPECT_TRUE(HostPathExists(dwl));
  EXPECT_EQ(Names(kStore), std::vector<std::string>{std::string(kFirstKey) + ".dwl"});
  // The client can try again.
  EXPECT_EQ(Post("/xmlverify", Batch()), CgiAnswer("Total do Lote: 1.523,90"));

  // Letters in the total: the same under the right locale.
  Post("/uploadxml", Batch("20240815093012000", "0015ab90"));
  EXPECT_EQ(Post("/xmlverify", Batch("20240815093012000", "0015ab90")),
            ErrorPage("'0015ab,90' is not a valid floating point value", "/xmlverify"));
  EXPECT_TRUE(
      HostPathExists(Disk(kStore + std::string("PED00181372024081509301200000") + "15ab903.dwl")));
}

// ---- Listing and reading ----

TEST_F(WebModuleTest, ListingGoesDepthFirstAndSkipsHiddenEntries) {
  for (const char* name : {"b.dwl", "a.dwl", "c.xml", "sub1/c.dwl", "sub1/deep/e.dwl", "sub2/f.dwl",
                           ".oculto.dwl", ".pasta/g.dwl", "sub2/x/h.dwl"}) {
    WriteHostFile(Disk(kStore + std::string(name)), name);
  }
  fs::create_directories(Disk(kStore + std::string("vazia.dwl")));  // folders are not listed
  const std::string s = "D:\\Movel\\Lotes\\VESTRA\\";
  EXPECT_EQ(
      Post("/listaarquivos", Fields{{"filtro", "*.dwl"}}),
      CgiAnswer(s + "sub1\\deep\\e.dwl\r\n" + s + "sub1\\c.dwl\r\n" + s + "sub2\\x\\h.dwl\r\n" + s +
                "sub2\\f.dwl\r\n" + s + "a.dwl\r\n" + s + "b.dwl\r\n"));
  EXPECT_EQ(Post("/listaarquivos", Fields{{"filtro", "*.XML"}}), CgiAnswer(s + "c.xml\r\n"));
  EXPECT_EQ(Post("/listaarquivos", Fields{{"filtro", ""}}), CgiAnswer(""));
  // A mask is a name: with a path part it would list another folder's files under this one's.
  for (const char* mask : {"x\\*.dwl", "sub1/*.dwl", "D:*", "..\\..\\*"}) {
    EXPECT_EQ(Post("/listaarquivos", Fields{{"filtro", mask}}), CgiAnswer("")) << mask;
  }
}

// A folder that cannot be listed is left out of the answer, as ever, and named in the request's
// one line for the operator; a file in it is refused as Windows refuses it. Run by an
// unprivileged user: permissions bind nobody who runs as root.
TEST_F(WebModuleTest, ListingsNameTheFoldersTheyCouldNotRead) {
  if (test::TargetIsWine()) GTEST_SKIP() << "the Windows program under Wine runs as this user";
  const std::string store = kStore;
  for (const std::string& name : {store + "a.dwl", store + "fechada/b.dwl", store + "sub/c.dwl",
                                  std::string("d/Img/a.png"), std::string("d/Img/fechada/b.png")}) {
    WriteHostFile(Disk(name), "");
  }
  fs::permissions(Disk(store + "fechada"), fs::perms::none);
  fs::permissions(Disk("d/Img/fechada"), fs::perms::none);
  std::vector<std::string> command{ORVO_PROGRAM};
  if (geteuid() == 0) {
    command.insert(command.begin(),
                   {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  const std::string s = "D:\\Movel\\Lotes\\VESTRA\\";
  struct Case {
    std::string path, body, out, logged;
  } cases[] = {
      {"/listaarquivos", "filtro=*.dwl", CgiAnswer(s + "sub\\c.dwl\r\n" + s + "a.dwl\r\n"),
       " POST /listaarquivos EInOutError: Cannot list folder \"" + s +
           "fechada\": File access denied\n"},
      {"/imagens", "data=01%2F01%2F2000", CgiAnswer("D:\\Img\\a.png\r\n"),
       " POST /imagens EInOutError: Cannot list folder \"D:\\Img\\fechada\": File access denied\n"},
      {"/lerxml", "arq=" + s + "fechada\\b.dwl",
       ErrorPage("Cannot open file \"" + s + "fechada\\b.dwl\". Access is denied", "/lerxml"),
       "Access is denied\n"},
  };
  for (const Case& c : cases) {
    Env env = Environment(c.path);
    env["CONTENT_LENGTH"] = std::to_string(c.body.size());
    test::ProgramResult result = test::RunCommand(command, env, c.body);
    EXPECT_EQ(result.out, c.out) << c.path;
    EXPECT_TRUE(test::IsOneLogLine(result.err)) << result.err;
    EXPECT_TRUE(result.err.ends_with(c.logged)) << result.err;
  }
  fs::permissions(Disk(store + "fechada"), fs::perms::owner_all);
  fs::permissions(Disk("d/Img/fechada"), fs::perms::owner_all);
}

TEST_F(WebModuleTest, ListingAMissingStoreFolderFails) {
  EXPECT_EQ(Post("/listaarquivos", Fields{{"filtro", "*.*"}, {"loja", "NOVA"}}),
            ErrorPage("File not found", "/listaarquivos"));
  EXPECT_EQ(Names("c"), std::vector<std::string>{"Orvo"});  // nothing created
}

TEST_F(WebModuleTest, ListingsFollowNoLinkAndShowNoNameWindowsCannotHold) {
  const std::string store = kStore;
  WriteHostFile(Disk(store + "a.dwl"), "");
  WriteHostFile(Disk(store + "sub/b.dwl"), "");
  WriteHostFile(Disk(store + "x.dwl\nD:\\fake.dwl"), "");  // a line of its own, were it listed
  fs::create_directory_symlink("..", Disk(store + "sub/up"));
  fs::create_directory_symlink(Disk("d/Movel"), Disk(store + "loop"));
  WriteHostFile(Disk("d/Img/c.png"), "");
  fs::create_directory_symlink(Disk("d/Img"), Disk("d/Img/loop"));
  const std::string s = "D:\\Movel\\Lotes\\VESTRA\\";
  EXPECT_EQ(Post("/listaarquivos", Fields{{"filtro", "*.dwl"}}),
            CgiAnswer(s + "sub\\b.dwl\r\n" + s + "a.dwl\r\n"));
  EXPECT_EQ(Post("/imagens", Fields{{"data", "01/01/2000"}}), CgiAnswer("D:\\Img\\c.png\r\n"));
}

TEST_F(WebModuleTest, ReadingAFileAnswersItsLines) {
  WriteHostFile(Disk("d/docs/lf.txt"), "um\ndois\r\ntr\xEAs");
  WriteHostFile(Disk("d/docs/vazio.txt"), "");
  EXPECT_EQ(Post("/lerxml", Fields{{"arq", "D:\\docs\\lf.txt"}}),
            CgiAnswer("um\r\ndois\r\ntr\xEAs\r\n"));
  EXPECT_EQ(Post("/lerxml", Fields{{"arq", "D:\\docs\\vazio.txt"}}), CgiAnswer(""));
  const std::string out = Post("/lerxml", Fields{{"arq", "D:\\docs\\nada.txt"}});
  EXPECT_EQ(out.substr(0, out.find("\r\n")), "Status: 500 Internal Server Error");
  EXPECT_NE(out.find("<p>Cannot open file \"D:\\docs\\nada.txt\". "), std::string::npos) << out;
  // A long name makes a log line of 1 KiB and a mark that it was cut.
  EXPECT_EQ(Run(Environment("/lerxml"), FormBody({{"arq", std::string(5000, 'a')}})).err.size(),
            test::TargetIsWine() ? 0u : 1024u + 4);
  // A name from the request shows as text in the page.
  EXPECT_NE(Post("/lerxml", Fields{{"arq", "D:\\<b>&.txt"}})
                .find("<p>Cannot open file \"D:\\&lt;b&gt;&amp;.txt\". "),
            std::string::npos);
}

// The operator's log also goes to the file that LogFile= names, on both builds: one line per
// failure, appended. A file that cannot be written changes nothing in the answer.
TEST_F(WebModuleTest, FailuresAreAppendedToTheLogFile) {
  fs::create_directories(Disk("c/Logs"));
  Config("[Orvo.FrameWork]\r\nLogFile=C:\\Logs\\orvo.log\r\n");
  std::string answer, log;
  for (const char* name : {"D:\\nada.txt", "D:\\outra.txt"}) {
    test::ProgramResult result = Run(Environment("/lerxml"), FormBody({{"arq", name}}));
    answer = result.out;
    log = ReadHostFile(Disk("c/Logs/orvo.log"));
    const std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
    EXPECT_TRUE(test::IsOneLogLine(last) &&
                last.find(" POST /lerxml EFOpenError: Cannot open file \"" + std::string(name)) !=
                    std::string::npos)
        << log;
    if (!test::TargetIsWine()) {
      EXPECT_EQ(last, result.err);
    }
  }
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;

  Config("[Orvo.FrameWork]\r\nLogFile=C:\\Nada\\orvo.log\r\n");
  EXPECT_EQ(Post("/lerxml", Fields{{"arq", "D:\\outra.txt"}}), answer);
  EXPECT_FALSE(HostPathExists(Disk("c/Nada")));

  // The Windows program's line is the event that it reports (Wine shows events on this channel).
  if (test::TargetIsWine()) {
    const std::string body = FormBody({{"arq", "D:\\outra.txt"}});
    Env traced = Environment("/lerxml");
    traced["WINEDEBUG"] = "-all,err+eventlog";
    traced["CONTENT_LENGTH"] = std::to_string(body.size());
    const std::string err = test::RunProgram(ORVO_PROGRAM, traced, body).err;
    EXPECT_NE(err.find(":err:eventlog:ReportEventW L\"20"), std::string::npos) << err;
    EXPECT_NE(err.find(" POST /lerxml EFOpenError: Cannot open file \\\"D:\\\\outra.txt\\\""),
              std::string::npos)
        << err;
  }
}

TEST_F(WebModuleTest, ReadingAFileOfLineBreaksHoldsAFewTimesItsSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
  // 32 MiB of line feeds: a string per line would need gigabytes.
  WriteHostFile(Disk("d/docs/lf.txt"), std::string(32 << 20, '\n'));
  const std::string body = FormBody({{"arq", "D:\\docs\\lf.txt"}});
  Env env = Environment("/lerxml");
  env["CONTENT_LENGTH"] = std::to_string(body.size());
  env["PROGRAM"] = ORVO_PROGRAM;
  env["BODY"] = body;
  auto result = test::RunScript(R"(printf %s "$BODY" | prlimit --as=268435456 "$PROGRAM")", env);
  // Compared in parts: a failed comparison of 64 MiB would print all of it.
  const std::string head =
      "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 67108864\r\n"
      "Content:\r\n\r\n";
  ASSERT_EQ(result.out.substr(0, head.size()), head);
  EXPECT_EQ(result.out.size(), head.size() + (64 << 20));
  EXPECT_EQ(result.out.find_first_not_of("\r\n", head.size()), std::string::npos);
  EXPECT_EQ(result.out.find("\n\n", head.size()), std::string::npos);
  EXPECT_EQ(result.out.find("\r\r", head.size()), std::string::npos);
}

TEST_F(WebModuleTest, MemoryRunningOutInAHandlerIsAnsweredByTheApplicationPage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
  const std::string body = "arq=" + std::string(64 << 20, 'a');
  WriteHostFile(Disk("body"), body);
  Env env = Environment("/lerxml");
  env["CONTENT_LENGTH"] = std::to_string(body.size());
  env["PROGRAM"] = ORVO_PROGRAM;
  env["BODY"] = Disk("body");
  auto result = test::RunScript(R"(prlimit --as=262144000 "$PROGRAM" <"$BODY")", env);
  // The page that answers every failure inside the dispatch ("Out of memory" today; a leaner
  // request path could get as far as the failure to open the file), never the server's page.
  EXPECT_EQ(result.out.rfind("Status: 500 Internal Server Error\r\n", 0), 0u)
      << result.out.substr(0, 200);
  EXPECT_NE(result.out.find("<i>/lerxml</i></body></html>"), std::string::npos);
  EXPECT_EQ(result.status, 0);
}

// ---- Marker swap ----

TEST_F(WebModuleTest, MarkerSwapRenamesTheNameOnly) {
  WriteHostFile(Disk("d/Lotes/NF_TF01.xml"), "1");
  const std::string done =
      "Conclu\xED"
      "do: ";
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\Lotes\\NF_TF01.xml"}}),
            CgiAnswer(done + "D:\\Lotes\\\\NF_TM01.xml"));
  EXPECT_EQ(Names("d/Lotes"), std::vector<std::string>{"NF_TM01.xml"});
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\Lotes\\NF_TM01.xml"}}),
            CgiAnswer(done + "D:\\Lotes\\\\NF_TF01.xml"));
  EXPECT_EQ(Names("d/Lotes"), std::vector<std::string>{"NF_TF01.xml"});

  // A "TF" in the folder part chooses the branch; the name has none to swap.
  WriteHostFile(Disk("d/TFolder/TFTF_TM.xml"), "2");
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\TFolder\\TFTF_TM.xml"}}),
            CgiAnswer(done + "D:\\TFolder\\\\TMTM_TM.xml"));

  // A bare name moves to the root of the current drive.
  WriteHostFile(Disk("c/NF_TM02.xml"), "3");
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "NF_TM02.xml"}}),
            CgiAnswer(done + "\\NF_TF02.xml"));
  EXPECT_EQ(ReadHostFile(Disk("c/NF_TF02.xml")), "3");

  // '/' separates as '\' does: a folder's marker is never swapped, the file stays in its folder.
  WriteHostFile(Disk("d/Lotes/TFSTORE/x_TF.xml"), "4");
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\Lotes/TFSTORE/x_TF.xml"}}),
            CgiAnswer(done + "D:\\Lotes/TFSTORE/\\x_TM.xml"));
  EXPECT_EQ(Names("d/Lotes/TFSTORE"), std::vector<std::string>{"x_TM.xml"});
}

TEST_F(WebModuleTest, MarkerSwapAnswersWhenItCannot) {
  const std::string refused = "N\xE3o foi poss\xEDvel renomear o arquivo: ";
  const std::string missing = "Arquivo n\xE3o encontrado";
  WriteHostFile(Disk("d/Lotes/NF_TF01.xml"), "old");
  WriteHostFile(Disk("d/Lotes/NF_TM01.xml"), "new");
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\Lotes\\NF_TF01.xml"}}),
            CgiAnswer(refused + "D:\\Lotes\\\\NF_TM01.xml"));
  EXPECT_EQ(ReadHostFile(Disk("d/Lotes/NF_TF01.xml")), "old");
  EXPECT_EQ(ReadHostFile(Disk("d/Lotes/NF_TM01.xml")), "new");

  // Neither marker: the file is renamed onto itself, which the file system allows.
  WriteHostFile(Disk("d/Lotes/NF_01.xml"), "same");
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\Lotes\\NF_01.xml"}}),
            CgiAnswer(std::string("Conclu\xED") + "do: D:\\Lotes\\\\NF_01.xml"));
  EXPECT_EQ(ReadHostFile(Disk("d/Lotes/NF_01.xml")), "same");

  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\Lotes\\NF_TX01.xml"}}),
            CgiAnswer(missing));
  EXPECT_EQ(Post("/importarxml", Fields{{"arquivoxml", "D:\\Lotes"}}), CgiAnswer(missing));
  EXPECT_EQ(Post("/importarxml", ""), CgiAnswer(missing));
}

TEST_F(WebModuleTest, EveryMethodReachesTheSameHandler) {
  for (const char* method : {"GET", "POST", "PUT", "HEAD", "DELETE"}) {
    Env env = Environment("/importarxml");
    env["REQUEST_METHOD"] = method;
    EXPECT_EQ(Run(env, "").out, CgiAnswer("Arquivo n\xE3o encontrado")) << method;
  }
  EXPECT_EQ(Post("/nada", FormBody(Batch())), "");
  EXPECT_EQ(Names("d"), std::vector<std::string>{});
}

// ---- Images ----

TEST_F(WebModuleTest, ImagesFromTheDayBeforeTheDate) {
  for (const char* name : {"a.png", "b.png", "sub/c.png", "d.jpg", ".e.png"}) {
    WriteHostFile(Disk(std::string("d/Img/") + name), name);
  }
  SetLocalTime("d/Img/a.png", 2024, 1, 14, 0, 0, 0);             // the first moment kept
  SetLocalTime("d/Img/b.png", 2024, 1, 13, 23, 59, 59, 900000);  // read as 23:59:58
  SetLocalTime("d/Img/sub/c.png", 2024, 1, 20, 8, 30, 0);
  SetLocalTime("d/Img/d.jpg", 2024, 1, 20, 8, 30, 0);
  SetLocalTime("d/Img/.e.png", 2024, 1, 20, 8, 30, 0);
  EXPECT_EQ(Post("/imagens", Fields{{"data", "15/01/2024"}}),
            CgiAnswer("D:\\Img\\sub\\c.png\r\nD:\\Img\\a.png\r\n"));
  EXPECT_EQ(Post("/imagens", Fields{{"data", "16/01/2024"}}), CgiAnswer("D:\\Img\\sub\\c.png\r\n"));
  EXPECT_EQ(Post("/imagens", Fields{{"data", "14/01/2024"}}),
            CgiAnswer("D:\\Img\\sub\\c.png\r\nD:\\Img\\a.png\r\nD:\\Img\\b.png\r\n"));
}

TEST_F(WebModuleTest, ImagesUseTheLocalClock) {
  WriteHostFile(Disk("d/Img/a.png"), "");
  // 02:00 UTC is 23:00 of the day before three hours west.
  SetLocalTime("d/Img/a.png", 2024, 1, 14, 2, 0, 0);
  Env env = Environment("/imagens");
  env["TZ"] = "BRT3";
  EXPECT_EQ(Run(env, FormBody({{"data", "15/01/2024"}})).out, CgiAnswer(""));
  EXPECT_EQ(Run(env, FormBody({{"data", "14/01/2024"}})).out, CgiAnswer("D:\\Img\\a.png\r\n"));
}

TEST_F(WebModuleTest, ImagesAnswerFailuresAsContent) {
  WriteHostFile(Disk("d/Img/a.gif"), "");
  struct Case {
    std::string body, answer;
  } cases[] = {
      {"data=20%2F01%2F2024", ""},  // only other extensions
      {"", "'' is not a valid date"},
      {"data=31%2F02%2F2024", "'31/02/2024' is not a valid date"},
      {"data=%zz", "Invalid URL encoded character (%zz) at position 6"},
      {FormBody({{"data", "<img src=x onerror=alert(1)>&"}}),
       "'&lt;img src=x onerror=alert(1)&gt;&amp;' is not a valid date"},
  };
  for (const Case& c : cases) EXPECT_EQ(Post("/imagens", c.body), CgiAnswer(c.answer)) << c.body;
  // A failure answered as content reaches the operator's log; the plain listing does not.
  EXPECT_EQ(Run(Environment("/imagens"), cases[0].body).err, "");
  const std::string err = Run(Environment("/imagens"), "data=%0D%0A<b>").err;
  EXPECT_TRUE(test::IsFailureStderr(
      err, " POST /imagens EConvertError: '\\x0D\\x0A<b>' is not a valid date\n"))
      << err;

  // The folder is walked before the date is read.
  Config("[Orvo.FrameWork]\r\nPathImagens=D:\\Nada\r\n");
  EXPECT_EQ(Post("/imagens", "data=x"), CgiAnswer("File not found"));
}

}  // namespace
}  // namespace orvo
