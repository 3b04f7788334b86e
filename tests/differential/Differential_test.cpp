// The two builds side by side: each request goes to the Linux program and to the Windows program
// under Wine, each over a fresh copy of the same drive tree. The answers, the exit statuses, the
// operator's log lines and the trees left behind must be the same byte for byte, but for the
// system's message texts, which are compared by their error codes. Every difference is printed
// with its request.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::ProgramResult;

// The keys of [Orvo.FrameWork] that rows vary: the operator's log file, the allowed folders.
const std::string kLogFileKey = "LogFile=C:\\Orvo\\orvo.log\r\n";
const std::string kAllowedKey = "AllowedFolders=D:\\Movel\\Lotes;D:\\Img; \\\\FILESRV\\lotes. \r\n";

// Where Wine and Windows part: Windows answers a missing server 53 and a missing share 67.
constexpr const char* kWineNoShare =
    "Wine finds no share, and no server, as a path not found (3); Linux answers 53";
constexpr const char* kWineShareRoot =
    "Wine answers the root of a share it cannot find as an invalid name (123); Linux answers 53, "
    "as Windows does for a share it cannot reach";

// One request: its path, and its body as sent (percent-encoded where the row says so). In a body,
// {SCRATCH} stands for a folder outside the drive tree, which no request may reach, as the
// Windows program names it (Z:\tmp\...), and {SCRATCH_NODRIVE} for the same without "Z:".
struct Request {
  std::string path;
  std::string body;
  const char* explained = nullptr;      // why the builds differ, where they must
  std::string frameWork = kLogFileKey;  // the keys of [Orvo.FrameWork] but PathImagens
};

// ---- The drive tree ----

const std::string kLong(200, 'L');  // a folder name that brings paths near MAX_PATH

// A name of n euro signs: 3 bytes each in UTF-8 on Linux, one in code page 1252 (%80 encoded).
std::string Euros(size_t n) {
  std::string utf8;
  for (size_t i = 0; i < n; ++i) utf8 += "\xE2\x82\xAC";
  return utf8;
}
std::string EncodedEuros(size_t n) {
  std::string encoded;
  for (size_t i = 0; i < n; ++i) encoded += "%80";
  return encoded;
}

const char kStoreSections[] =
    "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n"
    "[Orvo.Mobile.SEMDRIVE]\r\nPathXML=Q:\\Lotes\r\n"
    "[Orvo.Mobile.ARQUIVO]\r\nPathXML=C:\\Orvo\\x.txt\r\n"
    "[Orvo.Mobile.BARRA]\r\nPathXML=D:\\Movel\\Lotes\\\r\n"
    "[Orvo.Mobile.REDE]\r\nPathXML=\\\\filesrv\\lotes\r\n"
    "[Orvo.Mobile.REDE2]\r\nPathXML=//FILESRV/Lotes/\r\n"
    "[Orvo.Mobile.SEMSHARE]\r\nPathXML=\\\\filesrv\\nada\r\n"
    "[Orvo.FrameWork]\r\nPathImagens=D:\\Img\r\n";
// The operator's log that LogFile= names, below the root.
const char kLogFile[] = "c/Orvo/orvo.log";

void MakeTree(const std::string& root, const std::string& frameWork) {
  auto file = [&](const std::string& relative, const std::string& bytes) {
    test::WriteHostFile(root + "/" + relative, bytes);
  };
  const std::string store = "d/Movel/Lotes/VESTRA/";
  file("c/Orvo/Orvo.Net/Config/Orvo.Config", kStoreSections + frameWork);
  file("c/Orvo/x.txt", "linha1\nlinha2");
  file("c/Orvo/NF_TF01.xml", "<nf/>");
  file(store + "PED001813720240815093012000001523903.dwl", "<lote/>\r\n");
  file(store + "NF_TF01.xml", "<a/>");
  file(store + "NF_TM02.xml", "<b/>");
  file(store + "a.xml", "a");
  file(store + "b.xmlx", "b");
  file(store + "LongExtension.xmlbackup", "c");
  file(store + "A\xC3\xA7\xC3\xA3o.xml", "acao");      // Ação.xml, in code page 1252 A\xE7\xE3o
  file(store + "\xE6\x97\xA5\xE6\x9C\xAC.xml", "jp");  // no code page 1252 form
  file(store + "nul.txt", "device name");
  file(store + "dois:pontos.xml", "no Windows name");
  file(store + "linha\nD:\\falsa.xml", "no Windows name");
  file(store + "lf.txt", "um\ndois\r\ntr\xC3\xAAs");
  file(store + ".oculto.xml", "hidden");
  file(store + "sub/c.xml", "sub");
  file(store + "sub/deep/e.dwl", "deep");
  file("d/Movel/" + kLong + "/f.xml", "long");
  file("d/Movel/Lotes/" + Euros(85) + "/x.txt", "85 euros");  // 255 bytes: the most Linux holds
  file("d/Img/a.png", "a");
  file("d/Img/b.png", "b");
  file("d/Img/sub/c.png", "c");
  file("d/Img/d.jpg", "d");
  file("d/Movel/Lotes/TFSTORE/x_TF.xml", "tf");
  // The share \\filesrv\lotes (and \\filesrv\privado beside it).
  file("unc/filesrv/lotes/VESTRA/NF_TF01.xml", "<rede/>");
  file("unc/filesrv/lotes/REDE/PED001813720240815093012000001523903.dwl", "<lote/>\r\n");
  file("unc/filesrv/privado/s.txt", "segredo");
  test::SetUtcWriteTime(root + "/d/Img/a.png", 2024, 1, 14, 0, 0, 0);
  test::SetUtcWriteTime(root + "/d/Img/b.png", 2024, 1, 13, 23, 59, 59, 900000);
  test::SetUtcWriteTime(root + "/d/Img/sub/c.png", 2024, 1, 20, 8, 30, 0);
  test::SetUtcWriteTime(root + "/d/Img/d.jpg", 2024, 1, 20, 8, 30, 0);
}

// Every entry below `root` but the operator's log: its relative path, then its kind or its bytes.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string relative = fs::relative(entry.path(), root).string();
    if (relative == kLogFile) continue;
    if (entry.is_symlink()) {
      tree[relative] = "<link>";
    } else if (entry.is_directory()) {
      tree[relative] = "<folder>";
    } else {
      tree[relative] = test::ReadHostFile(entry.path().string());
    }
  }
  return tree;
}

// ---- The requests ----

const std::string kBatch =
    "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390&xmldata=%3Clote%2F%"
    "3E";

std::string Batch(const std::string& tag, const std::string& before = "") {
  return before + "tag=" + tag + "&representante=8137&coddh=20240815093012000&totallote=00152390" +
         "&xmldata=X";
}

// A tag of `length` characters whose 7th, 16th and 21st are digits.
std::string DigitTag(size_t length) { return "T" + std::string(length - 1, '1'); }

std::vector<Request> Requests() {
  std::vector<Request> rows = {
      // The holes found by trying the Windows program as an attacker would.
      {"/uploadxml",
       "tag=NF_TF01.xml%00&representante=1234&coddh=56789012345678901&totallote=00152390"
       "&xmldata=X"},
      {"/uploadxml",
       "loja=..%5C..%5COrvo&tag=x.asp%00&representante=1234&coddh=56789012345678901"
       "&totallote=00152390&xmldata=X"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt%00)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt%00.png)"},
      {"/importarxml", R"(arquivoxml=C:\Orvo\NF_TF01.xml%00x)"},
      {"/uploadxml", Batch("PED001", R"(loja=\?\{SCRATCH}\zdir&)")},
      {"/uploadxml", Batch("PED001", R"(loja=\?\Z:\zdir&)")},
      {"/uploadxml", Batch("PED001", R"(loja=\.\D:\Movel&)")},
      {"/uploadxml", Batch("PED001", R"(loja=\??\D:\Movel&)")},
      {"/uploadxml", Batch("PED001", R"(loja=/?/D:/Movel&)")},
      {"/listaarquivos", R"(loja=\?\C:\Orvo&filtro=*.*)"},
      {"/listaarquivos", R"(loja=\.\C:\Orvo&filtro=*.*)"},
      {"/listaarquivos", R"(loja=\?\unix{SCRATCH_NODRIVE}&filtro=*.*)"},
      {"/lerxml", R"(arq=\\?\C:\Orvo\x.txt)"},
      {"/lerxml", R"(arq=\\.\C:\Orvo\x.txt)"},
      {"/lerxml", R"(arq=//?/C:/Orvo/x.txt)"},
      {"/lerxml", R"(arq=//./C:/Orvo/x.txt)"},
      {"/lerxml", R"(arq=\??\C:\Orvo\x.txt)"},
      {"/lerxml", R"(arq=\\?\GLOBALROOT\Device\Null)"},
      {"/lerxml", R"(arq=\\?\unix{SCRATCH_NODRIVE}\x.txt)"},
      {"/lerxml", R"(arq=\\?\UNC\server\share\x.txt)"},
      {"/importarxml", R"(arquivoxml=\\?\C:\Orvo\NF_TF01.xml)"},
      {"/importarxml", R"(arquivoxml=\\.\C:\Orvo\NF_TF01.xml)"},
      {"/uploadxml", Batch("PED001", R"(loja=\server\share&)")},
      {"/listaarquivos", R"(loja=\server\share&filtro=*.*)", kWineShareRoot},
      {"/lerxml", R"(arq=\\server\share\x.txt)", kWineNoShare},
      {"/lerxml", R"(arq=//server/share/x.txt)", kWineNoShare},
      {"/importarxml", R"(arquivoxml=\\server\share\NF_TF01.xml)"},
      {"/lerxml", R"(arq=\\.\NUL)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt:stream)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt::$DATA)"},
      {"/lerxml", R"(arq=C::\Orvo\x.txt)"},
      {"/uploadxml", Batch("x.xml:8137")},
      {"/uploadxml", Batch("PED001", "loja=VESTRA::$DATA&")},
      {"/uploadxml", Batch("PED001", "loja=D:Rel&")},
      {"/listaarquivos", "loja=VESTRA&filtro=a.xml:s"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\NF_TF01.xml:x)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt\)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt/)"},
      {"/importarxml", R"(arquivoxml=C:\Orvo\NF_TF01.xml\)"},
      {"/lerxml", R"(arq=C:\Orvo\)"},
      {"/lerxml", R"(arq=Q:\x.txt)"},
      {"/lerxml", R"(arq=Q:x.txt)"},
      {"/importarxml", R"(arquivoxml=Q:\NF_TF01.xml)"},
      {"/uploadxml", Batch("PED001", "loja=SEMDRIVE&")},
      {"/xmlverify", Batch("PED001", "loja=SEMDRIVE&")},
      {"/listaarquivos", "loja=SEMDRIVE&filtro=*.*"},
      {"/lerxml", R"(arq={SCRATCH}\x.txt)"},  // the tests' Z: leads to an empty folder
      // The existing end-to-end requests.
      {"/uploadxml", kBatch},
      {"/uploadxml", "loja=VESTRA&" + kBatch},
      {"/uploadxml", "loja=%20%20&" + kBatch},
      {"/uploadxml",
       "tag=PED001&representante=8137&coddh=20240815090012000&totallote=00152390&xmldata=x"},
      {"/uploadxml",
       "tag=PED001&representante=013799&coddh=20240815093012000&totallote=00152390&xmldata=y"},
      {"/uploadxml",
       "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390"
       "&xmldata=a%0D%0Ab"},
      {"/uploadxml", "tag=PED001&representante=8137&coddh=2024081509301200&xmldata=x"},
      {"/uploadxml", "loja=NOVA&" + kBatch},
      {"/uploadxml", "loja=ARQUIVO&" + kBatch},
      {"/uploadxml", "loja=BARRA&" + kBatch},
      {"/uploadxml", "loja=sub%5Cdeep&" + kBatch},
      {"/uploadxml", ""},
      {"/uploadxml", "xmldata=only"},
      {"/xmlverify", kBatch},
      {"/xmlverify", "loja=vestra&" + kBatch},
      {"/xmlverify", "tag=PED001&representante=8137&coddh=20240815093012000&totallote=12345678"},
      {"/xmlverify", "tag=PED001&representante=8137&coddh=20240815090012000&totallote=00152390"},
      {"/xmlverify", "tag=PED001&representante=8137&coddh=2024081509301200"},
      {"/xmlverify", ""},
      {"/xmlverify", "loja=NOVA&" + kBatch},
      {"/listaarquivos", "filtro=*.dwl"},
      {"/listaarquivos", "filtro=*.XML"},
      {"/listaarquivos", "filtro="},
      {"/listaarquivos", ""},
      {"/listaarquivos", R"(filtro=deep\*.dwl)"},
      // Masks with a path part name no file of the folder walked: nothing is listed.
      {"/listaarquivos", "filtro=C:*"},
      {"/listaarquivos", R"(filtro=..\..\..\Orvo\*)"},
      {"/listaarquivos", R"(filtro=sub\c.xm?)"},
      {"/listaarquivos", "filtro=sub/c.xml"},
      {"/listaarquivos", "loja=NOVA&filtro=*.*"},
      {"/listaarquivos", "loja=ARQUIVO&filtro=*.*"},
      {"/listaarquivos", "loja=BARRA&filtro=*.*"},
      {"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\lf.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\Orvo.Net\Config\Orvo.Config)"},
      {"/lerxml", R"(arq=C:\Orvo\nada.txt)"},
      {"/lerxml", R"(arq=C:\Nada\x.txt)"},
      {"/lerxml", R"(arq=D:\Movel)"},
      {"/lerxml", R"(arq=Orvo\x.txt)"},
      {"/lerxml", R"(arq=\Orvo\x.txt)"},
      {"/lerxml", "arq="},
      {"/lerxml", ""},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\NF_TF01.xml)"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\NF_TM02.xml)"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\a.xml)"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\NF_TX01.xml)"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes)"},
      {"/importarxml", R"(arquivoxml=Orvo\NF_TF01.xml)"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\*.xml)"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\NF_T?01.xml)"},
      {"/importarxml", "arquivoxml="},
      {"/importarxml", ""},
      {"/imagens", "data=15/01/2024"},
      {"/imagens", "data=16%2F01%2F2024"},
      {"/imagens", "data=14/01/2024"},
      {"/imagens", "data=01/01/2000"},
      {"/imagens", "data=21/01/2024"},
      {"/imagens", "data=31/02/2024"},
      {"/imagens", "data=2024-01-15"},
      {"/imagens", "data=%zz"},
      {"/imagens", "data=%0D%0A<b>"},
      {"/imagens", "data="},
      {"/imagens", ""},
      {"/imagens", "data=15/01/2024&data=01/01/2000"},
      // Percent-encoding and the form's own syntax.
      {"/lerxml", "arq=%zz"},
      {"/lerxml", "arq=%"},
      {"/lerxml", "arq=%2"},
      {"/lerxml", "arq=%%"},
      {"/lerxml", "arq=C%3A%5COrvo%5Cx.txt"},
      {"/lerxml", "arq=C%3a%5cOrvo%5cx%2etxt"},
      {"/lerxml", "arq=C:%255COrvo%255Cx.txt"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt+)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt%20.%20)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt...)"},
      {"/lerxml", R"(arq=C:\Orvo.\x.txt)"},
      {"/lerxml", R"(arq=C:\Orvo%20\x.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\\\x.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\.\x.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\..\Orvo\x.txt)"},
      {"/lerxml", R"(arq=C:\..\..\Orvo\x.txt)"},
      {"/lerxml", R"(arq=..\..\..\Orvo\x.txt)"},
      {"/lerxml", "arq=C:/Orvo/x.txt"},
      {"/lerxml", R"(arq=c:\ORVO\X.TXT)"},
      {"/lerxml", R"(arq=C:Orvo\x.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt&arq=C:\Orvo\NF_TF01.xml)"},
      {"/lerxml", R"(ARQ=C:\Orvo\x.txt)"},
      {"/lerxml", R"(=x&arq=C:\Orvo\x.txt)"},
      {"/lerxml", R"(&&arq=C:\Orvo\x.txt&&)"},
      {"/lerxml", R"(arq&arq=C:\Orvo\x.txt)"},
      {"/lerxml", R"(arq==C:\Orvo\x.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x.txt%0D%0A)"},
      {"/lerxml", R"(arq=C:\Orvo\x%09.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x<.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x>.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x%22.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x|.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x?.txt)"},
      {"/lerxml", R"(arq=C:\Orvo\x*)"},
      {"/lerxml", R"(arq=C:\Orv?\x.txt)"},
      {"/uploadxml", "tag=PED%2B01&representante=8137&coddh=20240815093012000&totallote=00152390"},
      {"/uploadxml", "tag=PED+01&representante=8137&coddh=20240815093012000&totallote=00152390"},
      {"/uploadxml", Batch("PED001", "loja=VESTRA&loja=OUTRA&")},
      {"/uploadxml", Batch("PED001", "loja=&")},
      {"/uploadxml", Batch("PED001") + "&tag=OUTRO1"},
      {"/uploadxml", Batch("PED%zz")},
      {"/uploadxml", Batch("PED001", "loja=%2E%2E&")},
      {"/uploadxml", Batch("PED001", "loja=.&")},
      {"/uploadxml", Batch("PED001", "loja=..&")},
      {"/uploadxml", Batch("PED001", "loja=...&")},
      {"/uploadxml", Batch("PED001", "loja=VESTRA.&")},
      {"/uploadxml", Batch("PED001", "loja=VESTRA%20&")},
      {"/uploadxml", Batch("PED001", R"(loja=NOVA\&)")},
      {"/uploadxml", Batch("PED001", R"(loja=NOVA\\&)")},
      {"/uploadxml", Batch("PED001", R"(loja=NOVA\.\..\NOVA2&)")},
      {"/uploadxml", Batch("PED001", R"(loja=C:\Orvo&)")},
      {"/uploadxml", Batch(R"(..\..\..\Img\x)")},
      {"/uploadxml", Batch(R"(sub\pe)")},
      {"/uploadxml", Batch(R"(nada\pe)")},
      {"/uploadxml", Batch("PED00 ")},
      {"/uploadxml", Batch("PED00.")},
      {"/xmlverify", Batch("PED001", "loja=%00&")},
      {"/listaarquivos", "loja=VESTRA%00&filtro=*.*"},
      {"/listaarquivos", "loja=..&filtro=*.*"},
      {"/listaarquivos", R"(loja=\&filtro=*.txt)"},
      // Code page 1252 and UTF-8 bytes.
      {"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\A%E7%E3o.xml)"},
      {"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\A%C7%C3O.XML)"},
      {"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\A%C3%A7%C3%A3o.xml)"},
      {"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\%E6%97%A5%E6%9C%AC.xml)"},
      {"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\??.xml)"},
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\A%E7%E3o.xml)"},
      {"/uploadxml", Batch("%E7%E3o%80%FF")},
      {"/uploadxml", Batch("%C3%A7%C3%A3")},
      {"/uploadxml", Batch("%81%8D%8F%90%9D")},
      {"/uploadxml", Batch("%A0%AD%B9%B2")},
      {"/uploadxml", Batch("PED001", "loja=Lim%E3o&")},
      {"/uploadxml", Batch("PED001", "loja=%C3%89&")},
      {"/uploadxml", Batch("PED001", "loja=%7F&")},
      {"/uploadxml", Batch("PED001", "loja=%01&")},
      {"/uploadxml", Batch("PED001", "loja=%1F&")},
      {"/listaarquivos", "filtro=*%E7*"},
      {"/listaarquivos", "filtro=*%C7*"},
      {"/listaarquivos", "filtro=*%C3%A7*"},
      {"/listaarquivos", "filtro=*%E6%97%A5*"},
      {"/listaarquivos", "loja=Lim%E3o&filtro=*.*"},
      // Masks: the program's matcher on long names, never the system's.
      {"/listaarquivos", ""},
  };

  // More masks, each a request of its own.
  for (const char* mask : {"*.xml",
                           "*.xml*",
                           "*.xmlx",
                           "*.xml?",
                           "*?",
                           "?",
                           "??",
                           "*",
                           "*.*",
                           "**",
                           "*.",
                           ".*",
                           "*.*.*",
                           "***.xml",
                           "?????.xml",
                           "*.x?l",
                           "NF_T?0*.xml",
                           "*TF*",
                           "*tf*",
                           "A*.XML",
                           "a.xml",
                           "A.XML",
                           "b.xml",
                           "*.xmlbackup",
                           "LONGEX~1.XML",
                           "B~1.XML",
                           "*~*",
                           ">",
                           "<",
                           "%22",
                           ">.xml",
                           "*>",
                           "<.xml",
                           "a%22xml",
                           "*.<",
                           "sub",
                           "sub\\*.xml",
                           "..\\*.*",
                           "..\\VESTRA\\*.xml",
                           "\\*.*",
                           "*.xml\\",
                           "C:\\*.*",
                           "D:*.xml",
                           "*.xml%00",
                           "*:*",
                           "*.xml::$DATA",
                           "[a]*.xml",
                           "%2A.xml",
                           "nul",
                           "nul.txt",
                           "*.txt",
                           "con*",
                           "*|*",
                           "*%09*",
                           ".",
                           "..",
                           "...",
                           "*.dwl",
                           "*.DWL",
                           "PED*.dwl",
                           "*3.dwl",
                           ".oculto.xml",
                           ".*.xml",
                           "*.xml.",
                           "*.xml ",
                           "* "}) {
    rows.push_back({"/listaarquivos", std::string("loja=VESTRA&filtro=") + mask});
  }

  // Device names, wherever a request names a file or a folder.
  for (const char* device :
       {"NUL", "nul", "Nul%20", "NUL.", "nul.txt", "AUX", "aux.xml", "CON", "CON.dwl", "PRN",
        "COM1", "com9.log", "COM0", "LPT1", "lpt9.x", "CONIN$", "conout$", "COM%B9", "LPT%B2"}) {
    std::string name = device;
    rows.push_back({"/lerxml", "arq=" + name});
    rows.push_back({"/lerxml", R"(arq=C:\Orvo\)" + name});
    rows.push_back({"/lerxml", R"(arq=C:\)" + name + R"(\x.txt)"});
    rows.push_back({"/importarxml", R"(arquivoxml=C:\Orvo\)" + name});
    rows.push_back({"/uploadxml", Batch("PED001", "loja=" + name + "&")});
    rows.push_back({"/listaarquivos", "loja=VESTRA&filtro=" + name});
  }
  rows.push_back({"/uploadxml", Batch("NUL.")});
  rows.push_back({"/uploadxml", Batch("Aux%20.")});
  rows.push_back({"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\nul.txt)"});
  rows.push_back({"/importarxml", R"(arquivoxml=D:\Movel\Lotes\VESTRA\nul.txt)"});

  // Long names: full paths about MAX_PATH (260) and new folders about 248.
  const std::string longFolder = "D:\\Movel\\" + kLong;
  for (size_t length : {200, 203, 204, 205, 206, 230}) {
    rows.push_back({"/uploadxml", Batch(DigitTag(length))});
    rows.push_back({"/xmlverify", Batch(DigitTag(length))});
  }
  for (size_t length : {230, 231, 232, 233, 234, 245}) {
    rows.push_back({"/uploadxml", Batch("PED001", "loja=" + std::string(length, 'S') + "&")});
  }
  for (size_t length : {48, 49, 50, 51, 60}) {
    std::string name = longFolder + "\\" + std::string(length, 'n');
    rows.push_back({"/lerxml", "arq=" + name});
    rows.push_back({"/importarxml", "arquivoxml=" + name});
    rows.push_back({"/uploadxml", Batch("PED001", R"(loja=..\)" + kLong + "\\" +
                                                      std::string(length - 14, 'n') + "&")});
  }
  rows.push_back({"/lerxml", "arq=" + longFolder + "\\f.xml"});
  rows.push_back({"/lerxml", "arq=" + longFolder + "\\..\\" + kLong + "\\f.xml"});
  rows.push_back({"/lerxml", "arq=C:" + std::string(300, '\\') + R"(Orvo\x.txt)"});
  rows.push_back({"/importarxml", "arquivoxml=" + longFolder + "\\f.xml"});
  rows.push_back({"/listaarquivos", R"(loja=..\)" + kLong + "&filtro=*.*"});
  rows.push_back({"/listaarquivos", "loja=VESTRA&filtro=" + std::string(300, '*')});
  rows.push_back({"/listaarquivos", "loja=VESTRA&filtro=" + std::string(250, 'x') + "*"});

  // Names Linux cannot hold (over 255 bytes in UTF-8) are too long on both builds, never cut
  // to the name of another entry; 8.3 aliases (Wine's, for files of the tree) name nothing.
  for (size_t n : {85, 86}) {
    rows.push_back({"/lerxml", R"(arq=D:\Movel\Lotes\)" + EncodedEuros(n) + R"(\x.txt)"});
    rows.push_back({"/uploadxml", Batch("PED001", "loja=" + EncodedEuros(n) + "&")});
  }
  rows.push_back({"/uploadxml", Batch("PED001", R"(loja=VESTRA\)" + EncodedEuros(86) + "&")});
  for (const char* alias : {R"(VESTRA\PED0~X0M.DWL)", R"(VESTRA\DOIS~BVV.XML)"}) {
    rows.push_back({"/lerxml", R"(arq=D:\Movel\Lotes\)" + std::string(alias)});
    rows.push_back({"/importarxml", R"(arquivoxml=D:\Movel\Lotes\)" + std::string(alias)});
  }
  // Names split where the gate splits, store codes resolved before a folder is made, and shares
  // (\\filesrv\lotes, and \\filesrv\privado beside it): each with and without the allowed
  // folders and the operator's log file.
  std::vector<Request> gateRows = {
      {"/importarxml", R"(arquivoxml=D:\Movel\Lotes/TFSTORE/x_TF.xml)"},
      {"/importarxml", R"(arquivoxml=D:/Movel/Lotes/VESTRA/NF_TF01.xml)"},
      {"/importarxml", R"(arquivoxml=\\filesrv\lotes\VESTRA\NF_TF01.xml)"},
      {"/importarxml", R"(arquivoxml=\\filesrv\privado\s.txt)"},
      {"/listaarquivos", "loja=VESTRA//sub&filtro=*.*"},
      {"/xmlverify", Batch("PED001", "loja=rede&")},
  };
  for (const std::string& path : std::vector<std::string>{
           R"(\\filesrv\lotes\VESTRA\NF_TF01.xml)", "//FILESRV/LOTES./vestra/nf_tf01.xml",
           R"(\\filesrv\lotes\VESTRA\..\..\..\privado\s.txt)", R"(\\filesrv\privado\s.txt)",
           R"(\\filesrv\lotes)", R"(\\filesrv\nada\x.txt)", R"(\\nada\lotes\x.txt)", R"(\\filesrv)",
           R"(\\\lotes\x.txt)", R"(\\filesrv\..\lotes\x.txt)", R"(\\file*srv\lotes\x.txt)",
           R"(\\CON\lotes\x.txt)", R"(\\filesrv\lotes\nul.txt)", R"(\\filesrv\lotes\x.txt:s)",
           R"(\\?\UNC\filesrv\lotes\VESTRA\NF_TF01.xml)",
           R"(\\filesrv\lotes\)" + std::string(246, 'n'),
           R"(\\filesrv\lotes\)" + std::string(247, 'n')}) {
    const bool noShare = path == R"(\\filesrv\nada\x.txt)" || path == R"(\\nada\lotes\x.txt)";
    gateRows.push_back({"/lerxml", "arq=" + path, noShare ? kWineNoShare : nullptr});
  }
  for (const char* store : {"REDE", "REDE2", "SEMSHARE", R"(..\..\privado)", R"(\filesrv\lotes\.)",
                            R"(NOVA\.)", R"(NOVA\.\)", R"(NOVA\%20.)", R"(NOVA\x\..)",
                            R"(VESTRA\.)", "VESTRA//sub", "VESTRA.%20.", "NOVA//x//..//y"}) {
    gateRows.push_back({"/uploadxml", Batch("PED001", std::string("loja=") + store + "&")});
  }
  gateRows.push_back({"/listaarquivos", "loja=REDE&filtro=*.*"});
  for (const char* store : {"REDE2", "SEMSHARE"}) {
    gateRows.push_back({"/listaarquivos", std::string("loja=") + store + "&filtro=*.*",
                        "Wine finds no folder on a share, and no share, as a path not found (3)"});
  }
  for (const Request& row : gateRows) {
    for (const std::string& frameWork :
         {std::string(), kLogFileKey, kAllowedKey, kAllowedKey + kLogFileKey}) {
      Request request = row;
      request.frameWork = frameWork;
      rows.push_back(request);
    }
  }
  // A list that allows nothing denies everything, and names its faulty entries in the log.
  for (const char* list : {";", ";;", " ", "x", "x;D:\\CON;;D:\\Img*"}) {
    const std::string frameWork = "AllowedFolders=" + std::string(list) + "\r\n" + kLogFileKey;
    rows.push_back({"/lerxml", R"(arq=D:\Movel\Lotes\VESTRA\a.xml)", nullptr, frameWork});
    rows.push_back({"/uploadxml", kBatch, nullptr, frameWork});
    rows.push_back({"/listaarquivos", "filtro=*.*", nullptr, frameWork});
  }
  return rows;
}

// ---- Running and comparing ----

// The operator's log lines of a run, without their times: the file that LogFile= names, which
// both builds write (the Windows build writes its lines to the event log, not standard error).
std::string OperatorLog(const std::string& root) {
  const std::string file = root + "/" + kLogFile;
  if (!fs::exists(file)) return "";
  const size_t kTime = std::string("yyyy-mm-dd hh:nn:ss ").size();
  std::string lines;
  for (std::string rest = test::ReadHostFile(file); !rest.empty();) {
    size_t end = std::min(rest.find('\n'), rest.size() - 1);
    std::string line = rest.substr(0, end + 1);
    lines += test::IsOneLogLine(line) ? line.substr(kTime) : line;
    rest.erase(0, end + 1);
  }
  return lines;
}

// The texts of the system's error codes of one build, longest first, with the code they stand
// for.
using SystemTexts = std::vector<std::pair<std::string, std::string>>;

SystemTexts ReadSystemTexts(const ProgramResult& listing) {
  SystemTexts texts;
  size_t start = 0;
  while (start < listing.out.size()) {
    size_t end = listing.out.find('\n', start);
    std::string line = listing.out.substr(start, end - start);
    size_t tab = line.find('\t');
    if (tab != std::string::npos && tab + 1 < line.size()) {
      texts.emplace_back(line.substr(tab + 1), "<system text " + line.substr(0, tab) + ">");
    }
    start = end == std::string::npos ? listing.out.size() : end + 1;
  }
  std::sort(texts.begin(), texts.end(),
            [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  return texts;
}

// Replaces each system text that ends a file error's message ("Cannot open file "...". <text>")
// by its code; the program's own texts stay, even where a system's text reads the same.
std::string ReplaceTexts(std::string text, const SystemTexts& texts) {
  for (const auto& [system, code] : texts) {
    const std::string quoted = "\". " + system;
    for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at)) {
      text.replace(at + 3, system.size(), code);
      at += 3 + code.size();
    }
  }
  return text;
}

// An answer with its system texts replaced by their codes, and its length mended to match.
std::string Normalized(const std::string& answer, const SystemTexts& texts) {
  size_t bodyStart = answer.find("\r\n\r\n");
  if (bodyStart == std::string::npos) return ReplaceTexts(answer, texts);
  std::string head = answer.substr(0, bodyStart + 4);
  std::string body = answer.substr(bodyStart + 4);
  std::string normal = ReplaceTexts(body, texts);
  std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  size_t at = head.find(length);
  if (at != std::string::npos) {
    head.replace(at, length.size(), "Content-Length: " + std::to_string(normal.size()) + "\r\n");
  }
  return head + normal;
}

std::string Shown(const std::string& bytes) {
  std::string shown;
  for (unsigned char c : bytes.substr(0, 600)) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      shown += c == '\\' ? std::string("\\\\") : std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
    }
  }
  return bytes.size() > 600 ? shown + "..." : shown;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// What one build left after one request.
struct Outcome {
  std::string answer;
  int status = -1;
  std::string log;
  std::map<std::string, std::string> before, tree;
  std::string errors;  // standard error, shown when the statuses differ
};

class Differential {
 public:
  Differential() {
    test::WriteHostFile(scratch_.path() + "/x.txt", "outside the drive tree");
    const std::vector<std::string> codes = {"1",   "2",   "3",   "4",   "5",   "6",   "8",   "17",
                                            "18",  "19",  "29",  "30",  "31",  "32",  "33",  "39",
                                            "53",  "80",  "87",  "112", "123", "126", "127", "131",
                                            "145", "183", "206", "267", "1117"};
    std::vector<std::string> command = {ORVO_ERRORTEXTS};
    command.insert(command.end(), codes.begin(), codes.end());
    linuxTexts_ = ReadSystemTexts(test::RunCommand(command, {}, ""));
    windowsTexts_ = ReadSystemTexts(test::RunUnderWine(ORVO_ERRORTEXTS, {}, "", codes));
  }

  // The body of a row as sent, its placeholders filled in.
  std::string Body(const Request& request) const {
    std::string windowsScratch = test::WinePath(scratch_.path());
    std::string body = Replaced(request.body, "{SCRATCH_NODRIVE}", windowsScratch.substr(2));
    return Replaced(body, "{SCRATCH}", windowsScratch);
  }

  Outcome Run(const Request& request, bool underWine) const {
    test::TempDir root;
    MakeTree(root.path(), request.frameWork);
    std::map<std::string, std::string> before = Snapshot(root.path());
    std::string body = Body(request);
    std::map<std::string, std::string> environment = {
        {"ORVO_ROOT", root.path()},
        {"REQUEST_METHOD", "POST"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"PATH_INFO", request.path},
        {"LANG", "pt_BR.UTF-8"},
        {"TZ", "UTC"},
        {"CONTENT_LENGTH", std::to_string(body.size())}};
    ProgramResult run = underWine ? test::RunUnderWine(ORVO_PROGRAM, environment, body)
                                  : test::RunCommand({ORVO_PROGRAM}, environment, body);
    const SystemTexts& texts = underWine ? windowsTexts_ : linuxTexts_;
    return {Normalized(run.out, texts),
            run.status,
            ReplaceTexts(OperatorLog(root.path()), texts),
            std::move(before),
            Snapshot(root.path()),
            run.err};
  }

  // The differences between the builds' outcomes of one request, as lines to print; and a
  // failure answer that left the tree changed, on either build.
  std::vector<std::string> Compare(const Outcome& linuxRun, const Outcome& windowsRun) const {
    std::vector<std::string> lines;
    for (const Outcome* run : {&linuxRun, &windowsRun}) {
      if (run->answer.rfind("Status: 500", 0) == 0 && run->tree != run->before) {
        lines.push_back(std::string("a failure left the tree changed on ") +
                        (run == &linuxRun ? "linux" : "windows"));
      }
    }
    auto differ = [&](const char* what, const std::string& a, const std::string& b) {
      if (a == b) return;
      lines.push_back(std::string(what) + " differs\n      linux:   " + Shown(a) +
                      "\n      windows: " + Shown(b));
    };
    differ("answer", linuxRun.answer, windowsRun.answer);
    differ("exit status", std::to_string(linuxRun.status), std::to_string(windowsRun.status));
    if (linuxRun.status != windowsRun.status) {
      differ("standard error", linuxRun.errors, windowsRun.errors);
    }
    differ("log line", linuxRun.log, windowsRun.log);
    for (const auto& [path, bytes] : linuxRun.tree) {
      auto other = windowsRun.tree.find(path);
      differ(("tree entry " + path).c_str(), bytes,
             other == windowsRun.tree.end() ? "<missing>" : other->second);
    }
    for (const auto& [path, bytes] : windowsRun.tree) {
      if (linuxRun.tree.count(path) == 0) {
        differ(("tree entry " + path).c_str(), "<missing>", bytes);
      }
    }
    return lines;
  }

 private:
  test::TempDir scratch_;
  SystemTexts linuxTexts_, windowsTexts_;
};

TEST(DifferentialTest, BothBuildsAnswerEveryRequestAlike) {
  if (std::string reason = test::WineUnavailable(ORVO_PROGRAM); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  Differential differential;
  std::vector<Request> requests = Requests();
  const bool show = std::getenv("ORVO_DIFFERENTIAL_SHOW") != nullptr;  // every request, in order
  // ORVO_DIFFERENTIAL_ROWS=FIRST-LAST: those rows only (numbered from 1, as reported).
  size_t first = 1, last = requests.size();
  if (const char* rows = std::getenv("ORVO_DIFFERENTIAL_ROWS")) {
    std::sscanf(rows, "%zu-%zu", &first, &last);
  }
  int unexplained = 0, explained = 0;
  for (size_t i = first - 1; i < std::min(last, requests.size()); ++i) {
    const Request& request = requests[i];
    Outcome linuxRun = differential.Run(request, false);
    std::vector<std::string> lines =
        differential.Compare(linuxRun, differential.Run(request, true));
    if (show) {
      std::cout << i + 1 << " " << request.path << " " << Shown(request.body) << "\n    "
                << Shown(linuxRun.answer) << "\n    " << Shown(linuxRun.log) << "\n";
    }
    if (lines.empty()) continue;
    std::string report = "request " + std::to_string(i + 1) + ": POST " + request.path + " " +
                         Shown(differential.Body(request));
    if (request.explained != nullptr) {
      ++explained;
      std::cout << report << "\n    differs as explained: " << request.explained << "\n";
      continue;
    }
    ++unexplained;
    for (const std::string& line : lines) report += "\n    " + line;
    ADD_FAILURE() << report;
  }
  std::cout << requests.size() << " requests, " << unexplained << " unexplained differences, "
            << explained << " explained ones\n";
  EXPECT_GE(requests.size(), 300u);
}

}  // namespace
}  // namespace orvo
