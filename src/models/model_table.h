// The table of printer models that a build supports.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace printxpc {

struct MyPrinterModel {
  const char* manufacturer;
  const char* modelName;
  std::string_view jobTicketKey;
  std::int32_t encryptionType;
  std::int32_t encryptionKeyID;
  std::int32_t encryptionModelID;
};

// Lookup over one build's rows; the build's global functions below forward to it.
class ModelTable {
 public:
  explicit constexpr ModelTable(std::span<const MyPrinterModel> rows) : rows_(rows) {}

  std::span<const MyPrinterModel> rows() const { return rows_; }

  // Exact, case-sensitive match of both names; stores the row index or -1.
  bool isSupported(const char* manufacturer, const char* modelName, std::int32_t* index) const;

  // Column getters. An index outside the table gives 0 (and an empty key): they never
  // read outside the table.
  std::int32_t encryptionType(std::int32_t index) const;
  std::int32_t encryptionKeyID(std::int32_t index) const;
  std::int32_t encryptionModelID(std::int32_t index) const;
  std::string_view jobTicketKey(std::int32_t index) const;

 private:
  const MyPrinterModel* row(std::int32_t index) const;
  std::span<const MyPrinterModel> rows_;
};

// The running build's table (defined once per service executable).
const ModelTable& buildModelTable();

bool MyPPDModelIsSupported(const char* manufacturer, const char* modelName, std::int32_t* index);
std::int32_t MyPPDModelGetEncryptionType(std::int32_t index);
std::int32_t MyPPDModelGetEncryptionKeyID(std::int32_t index);
std::int32_t MyPPDModelGetEncryptionModelID(std::int32_t index);
std::string_view MyPPDModelGetJobTicketKey(std::int32_t index);

}  // namespace printxpc
