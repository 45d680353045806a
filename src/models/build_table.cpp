// Compiled once per service executable: PRINTXPC_MODEL_ROWS names the build's rows file.
#include <array>

#include "models/model_table.h"

namespace printxpc {
namespace {

constexpr MyPrinterModel kMyPrinterModels[] = {
#include PRINTXPC_MODEL_ROWS
    // The terminating all-zero row; the lookup stops before it.
    {"", "", {}, 0, 0, 0},
};

constexpr ModelTable kTable(std::span<const MyPrinterModel>(kMyPrinterModels,
                                                            std::size(kMyPrinterModels) - 1));

}  // namespace

const ModelTable& buildModelTable() { return kTable; }

bool MyPPDModelIsSupported(const char* manufacturer, const char* modelName, std::int32_t* index) {
  return kTable.isSupported(manufacturer, modelName, index);
}

std::int32_t MyPPDModelGetEncryptionType(std::int32_t index) {
  return kTable.encryptionType(index);
}

std::int32_t MyPPDModelGetEncryptionKeyID(std::int32_t index) {
  return kTable.encryptionKeyID(index);
}

std::int32_t MyPPDModelGetEncryptionModelID(std::int32_t index) {
  return kTable.encryptionModelID(index);
}

std::string_view MyPPDModelGetJobTicketKey(std::int32_t index) {
  return kTable.jobTicketKey(index);
}

}  // namespace printxpc
