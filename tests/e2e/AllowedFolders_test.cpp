// Allowed folders end to end, on both builds: with AllowedFolders= set no request reaches
// outside the listed folders (the answer, the operator's log line, an unchanged tree), and
// every endpoint's normal use inside answers byte for byte as without the key. Every failure also
// leaves its one line in LogFile, which lies outside the listed folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::CgiAnswer;
using test::Fields;
using test::FormBody;
using test::WriteHostFile;

const char kAllowed[] = "D:\\Movel\\Lotes; D:\\Img ;d:\\MANUAIS.;\\\\FileSrv\\lotes";
const char kSecret[] = "segredo";
const Fields kBatch = {{"tag", "PED001"},
                       {"representante", "8137"},
                       {"coddh", "20240815093012000"},
                       {"totallote", "00152390"},
                       {"xmldata", "<lote/>"}};

// The batch for another store.
Fields InStore(const char* store) {
  Fields fields = kBatch;
  fields.insert(fields.begin(), {"loja", store});
  return fields;
}

// Every entry below a folder: files with their bytes, folders, links with their targets.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    std::string name = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      tree[name] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[name] = "/";
    } else {
      tree[name] = test::ReadHostFile(it->path().string());
    }
  }
  return tree;
}

class AllowedFoldersTest : public ::testing::Test {
 protected:
  AllowedFoldersTest() { Prepare(kAllowed); }

  std::string Disk(const std::string& relative) const { return root_.path() + "/" + relative; }

  void Prepare(const std::string& allowed, const std::string& pathImagens = "D:\\Img") {
    WriteHostFile(Disk("d/Movel/Lotes/VESTRA/NF_TF01.xml"), "dentro\n");
    WriteHostFile(Disk("d/Img/a.png"), "png");
    WriteHostFile(Disk("d/Manuais/Vendas.pdf"), "vendas");
    WriteHostFile(Disk("d/Segredo/s.txt"), std::string(kSecret) + "\n");
    WriteHostFile(Disk("d/Segredo/NF_TF02.xml"), kSecret);
    WriteHostFile(Disk("d/Segredo/FORA/PED001813720240815093012000001523903.dwl"), kSecret);
    WriteHostFile(Disk("d/Movel/Lotes2/s.txt"), kSecret);
    WriteHostFile(Disk("c/Windows/win.ini"), kSecret);
    fs::create_directory_symlink("../../Segredo", Disk("d/Movel/Lotes/fora"));
    fs::create_symlink("../../Segredo/s.txt", Disk("d/Movel/Lotes/f.txt"));
    // The share \\filesrv\lotes, and one beside it.
    WriteHostFile(Disk("unc/filesrv/lotes/REDE/NF_TF03.xml"), "dentro\n");
    WriteHostFile(Disk("unc/filesrv/privado/s.txt"), std::string(kSecret) + "\n");
    fs::create_directory_symlink("../privado", Disk("unc/filesrv/lotes/fora"));
    Config(allowed, pathImagens);
  }
  void Config(const std::string& allowed, const std::string& pathImagens = "D:\\Img") {
    std::string key = allowed.empty() ? "" : "AllowedFolders=" + allowed + "\r\n";
    WriteHostFile(Disk("c/Orvo/Orvo.Net/Config/Orvo.Config"),
                  "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n"
                  "[Orvo.Mobile.FORA]\r\nPathXML=D:\\Segredo\r\n"
                  "[Orvo.Mobile.REDE]\r\nPathXML=\\\\filesrv\\LOTES\r\n"
                  "[Orvo.FrameWork]\r\nPathImagens=" +
                      pathImagens + "\r\nPathManuais=D:\\Manuais\r\n" + key +
                      "DBSuporte=localhost:/srv/suporte.fdb\r\nLogFile=orvo.log\r\n");
  }

  test::ProgramResult Run(const std::string& path, const Fields& fields,
                          bool refuseLogin = false) const {
    std::string body = FormBody(fields);
    std::map<std::string, std::string> env = {
        {"ORVO_ROOT", root_.path()},
        {"REQUEST_METHOD", "POST"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"PATH_INFO", path},
        {"LANG", "pt_BR.UTF-8"},
        {"TZ", "UTC"},
        {"CONTENT_LENGTH", std::to_string(body.size())},
        {"ORVO_CLIENT_LIBRARY", test::TargetBuildFile(ORVO_FBSTUB)}};
    if (refuseLogin) env["FBSTUB_ATTACH_FAIL"] = "335544472";
    test::ProgramResult result = test::RunProgram(ORVO_PROGRAM, env, body);
    EXPECT_EQ(result.status, 0);
    return result;
  }

  // Every endpoint's normal use: each answer with its log and the drive D: after it.
  std::vector<std::string> Round() const {
    const std::pair<const char*, Fields> requests[] = {
        {"/uploadxml", kBatch},
        {"/listaarquivos", {{"filtro", "*.dwl"}}},
        {"/xmlverify", kBatch},
        {"/lerxml",
         {{"arq", "D:\\Movel\\Lotes\\VESTRA\\PED001813720240815093012000001523903.xml"}}},
        {"/importarxml", {{"arquivoxml", "D:\\Movel\\Lotes\\VESTRA\\NF_TF01.xml"}}},
        {"/listaarquivos", {{"filtro", "*.*"}}},
        {"/imagens", {{"data", "01/01/2020"}}},
        {"/listamanuais", {}},
        {"/lermanuais", {{"arq", "D:\\Manuais\\Vendas.pdf"}}},
        {"/uploadxml", InStore("REDE")},
        {"/xmlverify", InStore("rede")},
        {"/listaarquivos", {{"loja", "REDE"}, {"filtro", "*.*"}}},
    };
    std::vector<std::string> answers;
    for (const auto& [path, fields] : requests) {
      test::ProgramResult result = Run(path, fields);
      answers.push_back(std::string(path) + "\n" + result.out + result.err);
      for (const char* top : {"d", "unc"}) {
        for (const auto& [name, bytes] : Tree(Disk(top)))
          answers.back() += "\n" + name + ": " + bytes;
      }
    }
    return answers;
  }

  test::TempDir root_;
};

// A request with one field set (besides a batch's fields and store VESTRA) and what its answer
// holds.
struct Escape {
  const char* endpoint;
  const char* field;
  const char* value;
  std::string answer;
  const char* pathImagens = "D:\\Img";
  bool refuseLogin = false;  // the support database refuses the login
  const char* allowed = kAllowed;
};

std::string Page(const std::string& message) { return "<p>" + message + "\r\n<p><hr"; }
std::string CannotOpen(const std::string& file) { return "<p>Cannot open file \"" + file + "\". "; }

const Escape kEscapes[] = {
    {"/lerxml", "arq", "D:\\Movel\\Lotes\\VESTRA\\..\\..\\..\\Segredo\\s.txt",
     CannotOpen("D:\\Segredo\\s.txt")},
    {"/lerxml", "arq", "C:\\Windows\\win.ini", CannotOpen("C:\\Windows\\win.ini")},
    {"/lerxml", "arq", "D:\\Movel\\Lotes2\\s.txt", CannotOpen("D:\\Movel\\Lotes2\\s.txt")},
    {"/lerxml", "arq", "C:\\Orvo\\Orvo.Net\\Config\\Orvo.Config", "Cannot open file"},
    {"/lerxml", "arq", "D:\\Movel\\Lotes\\fora\\s.txt",
     CannotOpen("D:\\Movel\\Lotes\\fora\\s.txt")},
    {"/lerxml", "arq", "D:\\Movel\\Lotes\\f.txt", CannotOpen("D:\\Movel\\Lotes\\f.txt")},
    {"/lerxml", "arq", "d:\\SEGREDO\\S.TXT", CannotOpen("d:\\SEGREDO\\S.TXT")},
    {"/lerxml", "arq", "D:\\Movel\\Lotes. \\..\\..\\Segredo.\\s.txt",
     CannotOpen("D:\\Segredo\\s.txt")},
    {"/lerxml", "arq", "D:\\SEGRED~1\\s.txt", CannotOpen("D:\\SEGRED~1\\s.txt")},
    {"/lerxml", "arq", "\\\\?\\D:\\Segredo\\s.txt", "Cannot open file"},
    {"/lerxml", "arq", "\\\\localhost\\d$\\Segredo\\s.txt", "Cannot open file"},
    {"/lermanuais", "arq", "D:\\Segredo\\s.txt", CannotOpen("D:\\Segredo\\s.txt")},
    {"/listamanuais", "pasta", "D:\\Segredo", Page("File access denied")},
    {"/importarxml", "arquivoxml", "D:\\Segredo\\NF_TF02.xml",
     CgiAnswer("Arquivo n\xE3o encontrado")},
    {"/importarxml", "arquivoxml", "D:\\Movel\\Lotes\\VESTRA\\..\\..\\Lotes2\\s.txt",
     CgiAnswer("Arquivo n\xE3o encontrado")},
    {"/listaarquivos", "loja", "..\\..\\Segredo", Page("File access denied")},
    {"/listaarquivos", "loja", "FORA", Page("File access denied")},
    {"/uploadxml", "loja", "FORA",
     "<p>Cannot create file \"D:\\Segredo\\FORA\\PED001813720240815093012000001523903.dwl\". "},
    {"/xmlverify", "loja", "FORA", CgiAnswer("Erro")},
    {"/imagens", "data", "01/01/2020", CgiAnswer("File access denied"), "D:\\Segredo"},
    {"/imagens", "data", "abc", CgiAnswer("'abc' is not a valid date")},
    {"/listamanuais", "u", "tecnico", CgiAnswer(""), "D:\\Img", true},
    {"/lermanuais", "arq", "D:\\Manuais\\Vendas.pdf", CgiAnswer(""), "D:\\Img", true},
    // A list without a valid entry allows nothing.
    {"/lerxml", "arq", "D:\\Movel\\Lotes\\VESTRA\\NF_TF01.xml",
     CannotOpen("D:\\Movel\\Lotes\\VESTRA\\NF_TF01.xml"), "D:\\Img", false, ";"},
    {"/listaarquivos", "loja", "VESTRA", Page("File access denied"), "D:\\Img", false,
     " ;; x;D:\\C*"},
    // Shares: another share, a link out of the listed one, ".." at its root.
    {"/lerxml", "arq", "\\\\filesrv\\privado\\s.txt", CannotOpen("\\\\filesrv\\privado\\s.txt")},
    {"/lerxml", "arq", "\\\\filesrv\\lotes\\fora\\s.txt",
     CannotOpen("\\\\filesrv\\lotes\\fora\\s.txt")},
    {"/lerxml", "arq", "\\\\filesrv\\lotes\\..\\privado\\s.txt",
     CannotOpen("\\\\filesrv\\lotes\\privado\\s.txt")},
    {"/lerxml", "arq", "\\\\?\\UNC\\filesrv\\privado\\s.txt", "Cannot open file"},
    {"/importarxml", "arquivoxml", "\\\\filesrv\\lotes\\fora\\NF_TF09.xml",
     CgiAnswer("Arquivo n\xE3o encontrado")},
};

TEST_F(AllowedFoldersTest, NoRequestReachesOutside) {
  for (const Escape& escape : kEscapes) {
    SCOPED_TRACE(std::string(escape.endpoint) + " " + escape.value);
    Config(escape.allowed, escape.pathImagens);
    const auto before = Tree(root_.path());
    Fields fields = kBatch;
    fields.insert(fields.begin(), {escape.field, escape.value});
    test::ProgramResult result = Run(escape.endpoint, fields, escape.refuseLogin);
    EXPECT_NE(result.out.find(escape.answer), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(kSecret), std::string::npos) << result.out;
    bool failed = result.out.rfind("Status: 500", 0) == 0 || escape.field == std::string("data") ||
                  escape.refuseLogin;
    const std::string logFile = Disk("c/Orvo/Orvo.Net/Config/orvo.log");
    const std::string logged = fs::exists(logFile) ? test::ReadHostFile(logFile) : "";
    fs::remove(logFile);
    if (escape.allowed != kAllowed) {
      // The faulty list is named in the log, besides the failure.
      EXPECT_NE(logged.find(" AllowedFolders: "), std::string::npos) << logged;
    } else if (failed) {
      EXPECT_TRUE(test::IsFailureStderr(result.err)) << result.err;
      EXPECT_TRUE(test::IsOneLogLine(logged)) << logged;
      if (!result.err.empty()) {
        EXPECT_EQ(logged, result.err);
      }
    } else {
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(logged, "");
    }
    EXPECT_EQ(Tree(root_.path()), before);
  }
}

TEST_F(AllowedFoldersTest, PathsInsideStillPassTheirVariants) {
  for (const char* inside : {"d:\\MOVEL\\lotes\\vestra\\nf_tf01.xml",
                             "D:\\Movel\\Lotes. \\VESTRA\\..\\VESTRA\\NF_TF01.xml",
                             "//FILESRV/Lotes./rede/../../REDE/nf_tf03.xml"}) {
    EXPECT_EQ(Run("/lerxml", {{"arq", inside}}).out, CgiAnswer("dentro\r\n")) << inside;
  }
}

// Another process swaps the store folder with a link out while requests read and write in it.
TEST_F(AllowedFoldersTest, HoldsWhileAFolderIsSwappedForALinkOut) {
  if (test::TargetIsWine()) {
    // On Windows the folder held open cannot be renamed meanwhile, and a handle's final path is
    // the handle's own; a Linux process's rename under Wine ignores the hold, and Wine names an
    // open file by resolving its path again after the open.
    GTEST_SKIP() << "the swap of a Linux process passes Wine's share modes";
  }
  WriteHostFile(Disk("d/Movel/Lotes/VESTRA/s.txt"), "dentro");
  fs::create_directory_symlink("../../Segredo", Disk("d/Movel/Lotes/troca"));
  const std::string store = Disk("d/Movel/Lotes/VESTRA"), link = Disk("d/Movel/Lotes/troca");
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) renameat2(AT_FDCWD, store.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  });
  for (int i = 0; i < 40; ++i) {
    std::string out = Run("/lerxml", {{"arq", "D:\\Movel\\Lotes\\VESTRA\\s.txt"}}).out;
    EXPECT_EQ(out.find(kSecret), std::string::npos) << out;
    Run("/importarxml", {{"arquivoxml", "D:\\Movel\\Lotes\\VESTRA\\NF_TF02.xml"}});
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(test::ReadHostFile(Disk("d/Segredo/NF_TF02.xml")), kSecret);
  EXPECT_EQ(std::distance(fs::directory_iterator(Disk("d/Segredo")), fs::directory_iterator()), 3);
}

// A link in the store that leads to a file outside, left there by someone with access to the
// disk: with the key or without it, no request removes (the sweep of abandoned pending files),
// renames or moves into the store what the link leads to. A host acts on the link itself or
// refuses (Wine opens a link's target, so the Windows build refuses there).
TEST_F(AllowedFoldersTest, NothingIsRemovedOrMovedThroughALink) {
  const std::string dwl = "PED001813720240815093012000001523903.dwl";
  const struct {
    const char* link;
    std::string target;
    const char* endpoint;
    Fields fields;
  } cases[] = {
      {".~orvo/old.tmp", "../../../../Segredo/s.txt", "/uploadxml", kBatch},
      {"L_TF.xml",
       "../../../Segredo/NF_TF02.xml",
       "/importarxml",
       {{"arquivoxml", "D:\\Movel\\Lotes\\VESTRA\\L_TF.xml"}}},
      {dwl.c_str(), "../../../Segredo/FORA/" + dwl, "/xmlverify", kBatch},
  };
  for (const char* allowed : {kAllowed, ""}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.endpoint) + " through " + c.link +
                   " with AllowedFolders=" + allowed);
      for (const auto& entry : fs::directory_iterator(root_.path())) fs::remove_all(entry.path());
      Prepare(allowed);
      const std::string link = Disk("d/Movel/Lotes/VESTRA/") + c.link;
      fs::create_directories(fs::path(link).parent_path());
      fs::create_symlink(c.target, link);
      test::SetUtcWriteTime(Disk("d/Segredo/s.txt"), 2024, 1, 1, 0, 0, 0);  // long abandoned
      const auto outside = Tree(Disk("d/Segredo"));
      Run(c.endpoint, c.fields);
      EXPECT_EQ(Tree(Disk("d/Segredo")), outside);
      for (const auto& [name, bytes] : Tree(Disk("d/Movel/Lotes/VESTRA"))) {
        EXPECT_EQ(bytes.find(kSecret), std::string::npos) << name << " came into the store";
      }
    }
  }
}

TEST_F(AllowedFoldersTest, EveryEndpointAnswersAsWithoutTheKey) {
  Config("");
  std::vector<std::string> open = Round();
  for (const auto& entry : fs::directory_iterator(root_.path())) fs::remove_all(entry.path());
  Prepare(kAllowed);
  std::vector<std::string> confined = Round();
  ASSERT_EQ(open.size(), confined.size());
  for (size_t i = 0; i < open.size(); ++i) EXPECT_EQ(confined[i], open[i]);
  // The share's store got its batch, verified, and listed it.
  EXPECT_NE(confined.back().find(
                "\\\\filesrv\\LOTES\\REDE\\PED001813720240815093012000001523903.xml\r\n"),
            std::string::npos)
      << confined.back();
  EXPECT_TRUE(fs::exists(Disk("unc/filesrv/lotes/REDE/PED001813720240815093012000001523903.xml")));
}

}  // namespace
}  // namespace orvo
