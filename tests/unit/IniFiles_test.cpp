#include "common/IniFiles.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "common/UOrvoConsts.h"
#include "host/Host.h"

namespace orvo {
namespace {

const std::string kConfig =
    "; Orvo configuration\r\n"
    "[orvo.framework]\r\n"
    "pathimagens=D:\\Imagens\r\n"
    "PathManuais = \"D:\\Manuais\" \r\n"
    "DBSuporte='srv:C:\\Dados\\SUPORTE.GDB'\r\n"
    "Empty=\r\n"
    "Dup=first\r\n"
    "Dup=second\r\n"
    "\r\n"
    "  [ Orvo.Mobile.VESTRA ]  \n"
    "PathXML=D:\\Movel\\Lotes\n"
    ";PathOld=C:\\Old\n"
    "NoEquals\n"
    "Formula=a=b\n"
    "Quoted=\"mixed'\n"
    "[Orvo.FrameWork]\n"
    "PathImagens=ignored, the first section wins\n"
    "Only=In the repeated section\n"
    "[Orvo.Mobile.\xC9LAN]\r"
    "PathXML=E:\\Lotes\r";

TEST(FindIniValueTest, LooksUpSectionsAndKeysAsWindowsDoes) {
  struct Case {
    const char* section;
    const char* ident;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {SectionFrameWork, KeyPathImagens, "D:\\Imagens"},
      {SectionFrameWork, KeyPathManuais, "D:\\Manuais"},
      {SectionFrameWork, KeyDBSuporte, "srv:C:\\Dados\\SUPORTE.GDB"},
      {SectionFrameWork, "empty", ""},
      {SectionFrameWork, "Dup", "first"},
      {SectionFrameWork, "Only", std::nullopt},
      {SectionFrameWork, KeyPathXML, std::nullopt},
      {"Orvo.Mobile.vestra", KeyPathXML, "D:\\Movel\\Lotes"},
      {"Orvo.Mobile.VESTRA", "PathOld", std::nullopt},
      {"Orvo.Mobile.VESTRA", ";PathOld", std::nullopt},
      {"Orvo.Mobile.VESTRA", "NoEquals", std::nullopt},
      {"Orvo.Mobile.VESTRA", "Formula", "a=b"},
      {"Orvo.Mobile.VESTRA", "Quoted", "\"mixed'"},
      {"Orvo.Mobile.\xE9lan", KeyPathXML, "E:\\Lotes"},
      {"Orvo.Mobile.LOJA2", KeyPathXML, std::nullopt},
      {"", KeyPathXML, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindIniValue(kConfig, c.section, c.ident), c.value) << c.section << " " << c.ident;
  }
}

TEST(FindIniValueTest, LongValuesAreCutAndEditorMarksSkipped) {
  const std::string long3000(3000, 'x');
  EXPECT_EQ(FindIniValue("[S]\nK=" + long3000 + "\n", "S", "K"), std::string(2047, 'x'));
  EXPECT_EQ(FindIniValue("[S]\nK=\"" + long3000 + "\"\n", "S", "K"), std::string(2047, 'x'));
  EXPECT_EQ(FindIniValue("\xEF\xBB\xBF[S]\nK=v", "S", "K"), "v");
  EXPECT_EQ(FindIniValue("K=v\n[S]\n", "S", "K"), std::nullopt);
  EXPECT_EQ(FindIniValue("", "S", "K"), std::nullopt);
  EXPECT_EQ(FindIniValue("[S]\nK=''\n", "S", "K"), "");
  EXPECT_EQ(FindIniValue("[S]\nK=\"\n", "S", "K"), "\"");
}

TEST(IniFileTest, ReadsTheConfigurationThroughTheDrivesOnEveryLookup) {
  test::TempDir root;
  auto host = NewDriveRootHost(root.path());
  struct Installed {
    explicit Installed(Host* host) { Host::SetDefault(host); }
    ~Installed() { Host::SetDefault(nullptr); }
  } installed(host.get());
  TIniFile ini(ConfigFileName);
  EXPECT_EQ(ini.ReadString(SectionFrameWork, KeyPathImagens, "none"), "none");  // no drive yet

  // Names on disk match ignoring case, as on Windows.
  test::WriteHostFile(root.path() + "/c/orvo/ORVO.NET/config/orvo.config", kConfig);
  EXPECT_EQ(ini.ReadString(SectionFrameWork, KeyPathImagens, ""), "D:\\Imagens");
  EXPECT_EQ(ini.ReadString("Orvo.Mobile.VESTRA", KeyPathXML, ""), "D:\\Movel\\Lotes");

  // The file stays readable while another open holds it, and is never written.
  std::unique_ptr<FileHandle> writer;
  ASSERT_EQ(host->OpenFile(ConfigFileName, FileAccess::kReadWrite, FileShare{true, true},
                           FileDisposition::kOpenExisting, &writer),
            kErrorSuccess);
  EXPECT_EQ(ini.ReadString(SectionFrameWork, KeyDBSuporte, ""), "srv:C:\\Dados\\SUPORTE.GDB");
  writer.reset();
  EXPECT_EQ(test::ReadHostFile(root.path() + "/c/orvo/ORVO.NET/config/orvo.config"), kConfig);

  // An edit shows in the next lookup.
  test::WriteHostFile(root.path() + "/c/orvo/ORVO.NET/config/orvo.config",
                      "[Orvo.FrameWork]\nPathImagens=E:\\Novo\n");
  EXPECT_EQ(ini.ReadString(SectionFrameWork, KeyPathImagens, ""), "E:\\Novo");
}

}  // namespace
}  // namespace orvo
