#include "db/IB.h"

#include <array>

#include "db/IBSQLMonitor.h"

namespace orvo {
namespace {

thread_local std::array<ISC_STATUS, kStatusVectorLength> statusVector{};

std::array<std::string, ceMessageCount> LoadClientErrorMessages() {
  std::array<std::string, ceMessageCount> messages;
  messages[ceLibraryNotFound] =
      "Biblioteca gds32.dll do InterBase n\xE3o encontrada no caminho. Favor instalar InterBase "
      "para usar esta funcionalidade";
  messages[ceVersion6Function] =
      "%s \xE9 uma fun\xE7\xE3o do InterBase 6. Favor atualizar InterBase 6 para usar esta "
      "funcionalidade";
  messages[ceOperationCancelled] = "Opera\xE7\xE3o cancelada em requisi\xE7\xE3o do usu\xE1rio";
  messages[ceDpbNotSupported] = "Constante DPB (isc_dpb_%s) n\xE3o \xE9 suportada";
  messages[ceDatabaseClosed] =
      "N\xE3o \xE9 poss\xEDvel executar opera\xE7\xE3o -- DB n\xE3o est\xE1 aberto";
  messages[ceDatabaseOpen] =
      "N\xE3o \xE9 poss\xEDvel executar opera\xE7\xE3o -- DB est\xE1 atualmente aberto";
  messages[ceDatabaseNameMissing] = "Faltando nome do Banco de Dados";
  messages[ceDpbUnknown] = "Constante DPB (%s) \xE9 desconhecida";
  // A length byte holds 255 at most and the block's length is a signed 16-bit value: longer
  // input would be read by the server as further parameters.
  messages[ceDpbValueTooLong] = "Valor da constante DPB (isc_dpb_%s) excede 255 bytes";
  messages[ceDpbTooLong] = "Bloco de par\xE2metros DPB excede 32767 bytes";
  return messages;
}

// Filled once when the program starts, read only afterwards.
const std::array<std::string, ceMessageCount> clientErrorMessages = LoadClientErrorMessages();

}  // namespace

ISC_STATUS* ThreadStatusVector() { return statusVector.data(); }

bool StatusVectorHolds(std::initializer_list<ISC_STATUS> codes) {
  const ISC_STATUS* status = ThreadStatusVector();
  int i = 0;
  while (i < kStatusVectorLength && status[i] != isc_arg_end) {
    ISC_STATUS kind = status[i];
    if ((kind == isc_arg_gds || kind == isc_arg_number) && i + 1 < kStatusVectorLength) {
      for (ISC_STATUS code : codes) {
        if (status[i + 1] == code) return true;
      }
    }
    i += kind == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

const std::string& ClientErrorMessages(int32_t number) {
  static const std::string none;
  if (number < 0 || number >= ceMessageCount) return none;
  return clientErrorMessages[number];
}

std::string FormatClientMessage(const std::string& pattern, const std::vector<std::string>& args) {
  std::string text;
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    bool placeholder = pattern[i] == '%' && i + 1 < pattern.size() &&
                       (pattern[i + 1] == 's' || pattern[i + 1] == 'd');
    if (placeholder && next < args.size()) {
      text += args[next++];
      ++i;
    } else {
      text += pattern[i];
    }
  }
  return text;
}

void RaiseClientError(int32_t number, const std::vector<std::string>& args) {
  std::string message = FormatClientMessage(ClientErrorMessages(number), args);
  if (number != 58) MonitorHook().SQLError(message);
  throw EIBClientError(message, number, 0);
}

}  // namespace orvo
