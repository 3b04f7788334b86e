#include "module/UWM.h"

#include <algorithm>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "common/Classes.h"
#include "common/PendingFile.h"
#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"
#include "common/SysUtilsFiles.h"
#include "common/SysUtilsText.h"
#include "common/UOrvoConsts.h"
#include "module/Utils.h"
#include "web/ErrorLog.h"
#include "web/FormStream.h"
#include "web/HTTPText.h"

namespace orvo {
namespace {

constexpr char kDefaultStore[] = "VESTRA";
constexpr char kTotalPattern[] = "#,###,###,##0.00";

// Answers of the handlers (code page 1252).
constexpr char kAnswerError[] = "Erro";
constexpr char kAnswerTotal[] = "Total do Lote: ";
constexpr char kAnswerRenamed[] = "Conclu\355do: ";  // octal: a hex escape would swallow the "d"
constexpr char kAnswerNotRenamed[] = "N\xE3o foi poss\xEDvel renomear o arquivo: ";
constexpr char kAnswerNotFound[] = "Arquivo n\xE3o encontrado";
constexpr char kDownloadType[] = "application/octet-stream";

// The field that holds the batch.
constexpr char kBatchField[] = "xmldata";

// Every byte of `from`, from its start, written to `to`.
void CopyStream(TStream& from, TStream& to) {
  std::vector<char> buffer(1 << 20);
  from.SetPosition(0);
  for (int32_t got; (got = from.Read(buffer.data(), static_cast<int32_t>(buffer.size()))) > 0;) {
    to.WriteBuffer(buffer.data(), got);
  }
  if (from.Position() != from.Size()) throw EReadError("Stream read error");
}

// DBOrvo as the module's form stores it: direct mode, no registry, no login prompt.
std::unique_ptr<TLumoIBDatabase> CreateDBOrvo() {
  auto db = std::make_unique<TLumoIBDatabase>();
  db->LoginPrompt = false;
  db->UseRegProps = false;
  db->AlwaysConnected = false;
  TLumoMultiTierProps& props = db->LumoMultiTierProps();
  props.Active = false;
  props.WebServer = "iorvowebserver.dll";
  props.AltWebServer = "orvowebserver.exe";
  props.Compressed = false;
  props.ProxyPort = 0;
  props.UseProxy = false;
  props.ShowWait = false;
  return db;
}

// A batch name that the host refuses whatever the disk holds (a device name, a ':', too long)
// fails as its save would, before the store folder is made: a refused request leaves nothing.
void RequireCreatable(const std::string& fileName) {
  WinError error = Host::Default().CheckPath(fileName, PathUse::kFile);
  if (error != kErrorSuccess) throw EFCreateError(FileStreamMessage("create", fileName, error));
}

// A listing that left folders out is answered all the same (clients rely on the list); the
// request's one line for the operator names them.
void LogUnread(TWebRequest& Request, const TUnreadFolders& Unread) {
  if (!Unread.empty()) LogFailure(Request, EInOutError(UnreadNote(Unread), Unread.front().Code));
}

}  // namespace

TWM1::TWM1() : DBOrvo(CreateDBOrvo()) {
  Actions().Add("uploadxml", "/uploadxml", Handler(&TWM1::WM1uploadxmlAction));
  Actions().Add("xmlverify", "/xmlverify", Handler(&TWM1::WM1xmlverifyAction));
  Actions().Add("listaarquivos", "/listaarquivos", Handler(&TWM1::WM1listaarquivosAction));
  Actions().Add("lerxml", "/lerxml", Handler(&TWM1::WM1lerxmlAction));
  Actions().Add("importarxml", "/importarxml", Handler(&TWM1::WM1importarxmlAction));
  Actions().Add("lermanuais", "/lermanuais", Handler(&TWM1::WM1lermanuaisAction));
  Actions().Add("listamanuais", "/listamanuais", Handler(&TWM1::WM1listamanuaisAction));
  Actions().Add("imagens", "/imagens", Handler(&TWM1::WM1imagensAction));
}

THTTPMethodEvent TWM1::Handler(THandlerMethod method) { return std::bind_front(method, this); }

std::shared_ptr<const AllowedFolders> TWM1::RequestFolders() {
  TIniFile config(ConfigFileName);
  // No value spans two lines: this fallback tells a missing key from an empty one.
  const std::string list = config.ReadString(SectionFrameWork, KeyAllowedFolders, "\n");
  if (list == "\n") return nullptr;
  std::vector<std::string> invalid;
  std::shared_ptr<const AllowedFolders> allowed = AllowedFolders::Parse(list, &invalid);
  // Said once per list: a resident worker reads the same list for every request.
  static std::string reported;
  if (list != reported && Request() != nullptr) {
    reported = list;
    auto note = [&](const std::string& text) {
      LogConfigurationFault(Request()->Method(), Request()->PathInfo(), KeyAllowedFolders, text);
    };
    for (const std::string& entry : invalid) {
      note("\"" + entry + "\" is not a full folder path that the program takes; it allows nothing");
    }
    if (allowed->Empty()) note("no folder is allowed; every path is denied");
  }
  return allowed;
}

// ---- Shared steps ----

std::string TWM1::Field(TWebRequest& Request, const std::string& Name) {
  return Field(Request.ContentFields(), Name);
}

std::string TWM1::Field(const TStrings& Fields, const std::string& Name) {
  return Fields.Values(Name);
}

std::string TWM1::ConfigValue(TCustomIniFile& Config, const std::string& Section,
                              const std::string& Key) {
  return Config.ReadString(Section, Key, "");
}

std::string TWM1::StoreCode(const TStrings& Fields) {
  const std::string loja = Field(Fields, "loja");
  return Trim(loja).empty() ? kDefaultStore : loja;
}

std::string TWM1::StoreFolder(TCustomIniFile& Config, const std::string& StoreCode) {
  const std::string section = std::string(SectionMobile) + "." + StoreCode;
  return ConfigValue(Config, section, KeyPathXML) + "\\" + StoreCode;
}

std::string TWM1::BatchKey(const TStrings& Fields) {
  return Field(Fields, "tag") + Copy(Field(Fields, "representante"), 1, 4) +
         Field(Fields, "coddh") + Field(Fields, "totallote");
}

std::string TWM1::CheckDigit(const std::string& Key) {
  std::string third = Copy(Key, 21, 1);
  if (third == "0") third = "1";  // never divide by zero
  const int32_t first = StrToInt(Copy(Key, 7, 1));
  const int32_t second = StrToInt(Copy(Key, 16, 1));
  int32_t n = first * second / StrToInt(third);
  while (n > 9) {
    const std::string digits = IntToStr(n);
    n = (digits[0] - '0') + (digits[1] - '0');
  }
  return IntToStr(n);
}

std::string TWM1::BatchTotal(const std::string& Key) {
  // Eight digits: six integer digits and two decimals.
  std::string text = Trim(Copy(Key, 28, 8));
  Insert(",", text, 7);
  return FormatFloat(kTotalPattern, StrToFloat(text));
}

// ---- Batches ----

std::string TWM1::PreparedBatchFile(TCustomIniFile& Config, const TStrings& Fields) {
  const std::string store = StoreCode(Fields);
  const std::string key = BatchKey(Fields);
  const std::string folder = StoreFolder(Config, store);
  const std::string fileName = folder + "\\" + key + CheckDigit(key) + ExtPendingBatch;
  RequireCreatable(fileName);
  // An empty answer would tell the client its batch was stored.
  if (!CreateDirPath(folder)) {
    throw EInOutError("Unable to create directory \"" + folder + "\"", kErrorPathNotFound);
  }
  return fileName;
}

void TWM1::WM1uploadxmlAction(TObject*, TWebRequest& Request, TWebResponse&, bool&) {
  if (SaveArrivingBatch(Request)) return;
  // A batch is stored only when its body arrived whole: a client or connection that broke off
  // must not leave a torn batch that looks complete.
  Request.Body().RequireWhole();
  TIniFile config(ConfigFileName);
  TStrings& fields = Request.ContentFields();
  // Moved, not copied, from the fields into the list: a batch can be large.
  TStringList batch;
  batch.Add(fields.TakeValue(kBatchField));
  // The save is atomic: a concurrent verification never sees a half-written batch.
  batch.SaveToFile(PreparedBatchFile(config, fields));
}

bool TWM1::SaveArrivingBatch(TWebRequest& Request) {
  TFormStream form(Request.Body());
  if (!form.FindLargeField(kBatchField)) return false;
  // The batch goes to a pending file in the store folder that the fields before it name (the
  // default store's when they name none). Where that fails, the whole path takes the request.
  std::string folder;
  std::unique_ptr<TPendingFile> file;
  try {
    TIniFile config(ConfigFileName);
    folder = StoreFolder(config, StoreCode(form.Fields()));
    if (DirIsPresent(folder)) file = std::make_unique<TPendingFile>(folder + "\\");
  } catch (...) {
  }
  if (!file) {
    form.GiveBack();
    return false;
  }
  const std::exception_ptr writeFailure =
      form.CopyValue([&file](std::string_view bytes) { file->Stream().WriteAll(bytes); });
  // Every field is in now: the file is named and checked as the whole path does it, and its
  // failures come in the same order (the body's, the name's, then the save's).
  TIniFile config(ConfigFileName);
  const std::string fileName = PreparedBatchFile(config, form.Fields());
  if (writeFailure) std::rethrow_exception(writeFailure);
  file->Stream().WriteAll("\r\n");
  if (ExtractFilePath(fileName) == folder + "\\") {
    file->Commit(fileName);
  } else {
    // A store named only after the batch, or a key that holds a "\": saved where the whole
    // path saves it, from the pending file.
    TPendingFile moved(fileName);
    CopyStream(file->Stream(), moved.Stream());
    moved.Commit();
  }
  return true;
}

void TWM1::WM1xmlverifyAction(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
  Response.SetContent(kAnswerError);
  TIniFile config(ConfigFileName);
  const std::string store = StoreCode(Request.ContentFields());
  const std::string key = BatchKey(Request.ContentFields());
  const std::string folder = StoreFolder(config, store);
  const std::string pending = folder + "\\" + key + CheckDigit(key) + ExtPendingBatch;
  if (!FileIsPresent(pending)) return;
  // Computed before the move, so a total that does not convert leaves the batch pending and
  // the client can try again.
  const std::string total = BatchTotal(key);
  if (!RenameEntry(pending, ReplaceFileExt(pending, ExtVerifiedBatch))) return;
  Response.SetContent(kAnswerTotal + total);
}

// ---- File browsing ----

void TWM1::WM1listaarquivosAction(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
  TIniFile config(ConfigFileName);
  const std::string folder = StoreFolder(config, StoreCode(Request.ContentFields()));
  const std::string mask = Field(Request, "filtro");
  TUnreadFolders unread;
  Response.SetContent(ListFiles(folder, mask, unread));
  LogUnread(Request, unread);
}

void TWM1::WM1lerxmlAction(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
  // The list's text without the list: a file of line feeds would cost a string per byte.
  Response.SetContent(LoadTextFromFile(Field(Request, "arq")));
}

void TWM1::WM1importarxmlAction(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
  const std::string path = Field(Request, "arquivoxml");
  if (!FileIsPresent(path)) {
    Response.SetContent(kAnswerNotFound);
    return;
  }
  const std::string name = ExtractFileLeaf(path);
  // The marker is looked for in the whole path but swapped in the name only.
  const std::string newName =
      Pos("TF", path) > 0 ? ReplaceText(name, "TF", "TM") : ReplaceText(name, "TM", "TF");
  const std::string newPath = ExtractFilePath(path) + "\\" + newName;
  Response.SetContent((RenameEntry(path, newPath) ? kAnswerRenamed : kAnswerNotRenamed) + newPath);
}

void TWM1::WM1imagensAction(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
  // Every failure, a body that does not decode included, is answered with its message.
  try {
    TIniFile config(ConfigFileName);
    const std::string folder = ConfigValue(config, SectionFrameWork, KeyPathImagens);
    // Each image's time is read as the walk finds it, while its folder is at hand.
    std::vector<std::pair<std::string, TDateTime>> images;
    TUnreadFolders unread;
    WalkFiles(
        folder, "*.png",
        [&images](const std::string& Path, const FindData& Entry) {
          images.emplace_back(Path, FileDateOf(Entry));
        },
        unread);
    // From 00:00 of the day before the date sent.
    const TDateTime since = StrToDate(Field(Request, "data")) - 1;
    TStringList recent;
    for (const auto& [path, date] : images) {
      if (date >= since) recent.Add(path);
    }
    Response.SetContent(recent.Text());
    LogUnread(Request, unread);
  } catch (const Exception& e) {
    LogFailure(Request, e);
    // The message may quote the date sent: an answer in text/html shows it as text.
    Response.SetContent(HTMLEscape(e.Message()));
  } catch (const std::bad_alloc&) {
    LogFailure(Request, EOutOfMemory("Out of memory"));
    Response.SetContent("Out of memory");
  }
}

// ---- Manuals ----

bool TWM1::LoginSupportDatabase(TCustomIniFile& Config, TWebRequest& Request) {
  // Read outside the guard: a configuration that cannot be read is not a refused login.
  const std::string database = ConfigValue(Config, SectionFrameWork, KeyDBSuporte);
  try {
    DBOrvo->UseRegProps = false;
    DBOrvo->SetConnected(false);
    DBOrvo->SetDatabaseName(database);
    DBOrvo->Params().Clear();
    DBOrvo->Params().Add("user_name=" + Field(Request, "u"));
    DBOrvo->Params().Add("password=" + Field(Request, "p"));
    DBOrvo->SetConnected(true);
  } catch (const std::bad_alloc&) {
    throw;  // not a refused login: the request failed
  } catch (const Exception& e) {
    // A refused login is answered with the empty body, never with its reason; the reason, in
    // the server's words, goes to the operator's log.
    LogFailure(Request, e);
  } catch (...) {
    LogFailure(Request, Exception(""));
  }
  return DBOrvo->Connected();
}

void TWM1::WM1listamanuaisAction(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
  TIniFile config(ConfigFileName);
  std::string folder = Field(Request, "pasta");
  if (folder.empty()) folder = ConfigValue(config, SectionFrameWork, KeyPathManuais);
  if (!LoginSupportDatabase(config, Request)) return;
  TUnreadFolders unread;
  Response.SetContent(ListFiles(folder, "*.*", unread));
  LogUnread(Request, unread);
}

void TWM1::WM1lermanuaisAction(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
  TIniFile config(ConfigFileName);
  const std::string file = Field(Request, "arq");
  if (!LoginSupportDatabase(config, Request)) return;
  // Opened before anything is sent, with no sharing: a missing file is the error page alone.
  TFileStream manual(file, fmOpenRead);
  manual.SetPosition(0);
  Response.SetContentType(kDownloadType);
  Response.SendResponse();
  Response.SendStream(manual);
}

}  // namespace orvo
