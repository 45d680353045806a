#include "models/model_table.h"

#include <cstring>

namespace printxpc {
namespace {

// Exact comparison: the same bytes and the same length.
bool sameText(const char* given, const char* row) {
  const std::size_t rowLength = std::strlen(row);
  return std::strncmp(given, row, rowLength) == 0 && given[rowLength] == '\0';
}

}  // namespace

bool ModelTable::isSupported(const char* manufacturer, const char* modelName,
                             std::int32_t* index) const {
  std::int32_t found = -1;
  if (manufacturer != nullptr && modelName != nullptr && *manufacturer != '\0' &&
      *modelName != '\0') {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      if (sameText(manufacturer, rows_[i].manufacturer) &&
          sameText(modelName, rows_[i].modelName)) {
        found = static_cast<std::int32_t>(i);
        break;
      }
    }
  }
  if (index != nullptr) {
    *index = found;
  }
  return found >= 0;
}

const MyPrinterModel* ModelTable::row(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= rows_.size()) {
    return nullptr;
  }
  return &rows_[static_cast<std::size_t>(index)];
}

std::int32_t ModelTable::encryptionType(std::int32_t index) const {
  const auto* found = row(index);
  return found != nullptr ? found->encryptionType : 0;
}

std::int32_t ModelTable::encryptionKeyID(std::int32_t index) const {
  const auto* found = row(index);
  return found != nullptr ? found->encryptionKeyID : 0;
}

std::int32_t ModelTable::encryptionModelID(std::int32_t index) const {
  const auto* found = row(index);
  return found != nullptr ? found->encryptionModelID : 0;
}

std::string_view ModelTable::jobTicketKey(std::int32_t index) const {
  const auto* found = row(index);
  return found != nullptr ? found->jobTicketKey : std::string_view();
}

}  // namespace printxpc
