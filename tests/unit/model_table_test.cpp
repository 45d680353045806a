#include "models/model_table.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace printxpc {
namespace {

constexpr MyPrinterModel kRowsA[] = {
#include "models/rows/a.inc"
};
constexpr MyPrinterModel kRowsB[] = {
#include "models/rows/b.inc"
};
constexpr MyPrinterModel kRowsC[] = {
#include "models/rows/c.inc"
};

constexpr const char* kMaker = "ARVELLO TESSIN";

struct Build {
  const char* name;
  ModelTable table;
  std::vector<MyPrinterModel> rows;  // as the build must carry them
};

const Build kBuilds[] = {
    {"a",
     ModelTable(kRowsA),
     {{kMaker, "ARVELLO TESSIN zarvik T41", "T41", 1, 31, 0},
      {kMaker, "ARVELLO TESSIN zarvik T46", "T46", 1, 31, 0},
      {kMaker, "ARVELLO TESSIN zarvik T51", "T51", 1, 30, 0},
      {kMaker, "ARVELLO TESSIN zarvik T56", "T56", 1, 30, 0}}},
    {"b",
     ModelTable(kRowsB),
     {{kMaker, "ARVELLO TESSIN zarvik P118", "P118", 1, 21, 0},
      {kMaker, "ARVELLO TESSIN zarvik P126", "P126", 1, 20, 0},
      {kMaker, "ARVELLO TESSIN zarvik P134", "P134", 1, 19, 0}}},
    {"c", ModelTable(kRowsC), {{kMaker, "ARVELLO TESSIN zarvik P112", "P112", 1, 101, 0}}},
};

TEST(ModelTable, EveryRowIsFoundWithItsColumns) {
  for (const auto& build : kBuilds) {
    ASSERT_EQ(build.table.rows().size(), build.rows.size()) << build.name;
    for (std::size_t i = 0; i < build.rows.size(); ++i) {
      const MyPrinterModel& row = build.rows[i];
      std::int32_t index = -7;
      EXPECT_TRUE(build.table.isSupported(row.manufacturer, row.modelName, &index))
          << row.modelName;
      ASSERT_EQ(index, static_cast<std::int32_t>(i)) << row.modelName;
      EXPECT_EQ(build.table.jobTicketKey(index), row.jobTicketKey);
      EXPECT_EQ(build.table.encryptionType(index), row.encryptionType);
      EXPECT_EQ(build.table.encryptionKeyID(index), row.encryptionKeyID);
      EXPECT_EQ(build.table.encryptionModelID(index), row.encryptionModelID);
      EXPECT_TRUE(build.table.isSupported(row.manufacturer, row.modelName, nullptr));
    }
  }
}

TEST(ModelTable, ModelsOfOtherBuildsAreNotFound) {
  for (const auto& build : kBuilds) {
    for (const auto& other : kBuilds) {
      if (&other == &build) {
        continue;
      }
      for (const auto& row : other.rows) {
        std::int32_t index = 5;
        EXPECT_FALSE(build.table.isSupported(kMaker, row.modelName, &index))
            << build.name << " " << row.modelName;
        EXPECT_EQ(index, -1);
      }
    }
  }
}

TEST(ModelTable, OnlyExactNamesMatch) {
  const ModelTable table(kRowsA);
  const std::string model = "ARVELLO TESSIN zarvik T41";
  const struct {
    const char* label;
    const char* manufacturer;
    const char* modelName;
  } cases[] = {
      {"manufacturer prefix", "ARVELLO", model.c_str()},
      {"manufacturer with a trailing blank", "ARVELLO TESSIN ", model.c_str()},
      {"manufacturer in lower case", "arvello tessin", model.c_str()},
      {"model name prefix", kMaker, "ARVELLO TESSIN zarvik T4"},
      {"model name extended", kMaker, "ARVELLO TESSIN zarvik T41X"},
      {"model name in lower case", kMaker, "arvello tessin zarvik t41"},
      {"job-ticket key as model name", kMaker, "T41"},
      {"empty model name", kMaker, ""},
      {"empty manufacturer", "", model.c_str()},
      {"null model name", kMaker, nullptr},
      {"null manufacturer", nullptr, model.c_str()},
  };
  for (const auto& c : cases) {
    std::int32_t index = 3;
    EXPECT_FALSE(table.isSupported(c.manufacturer, c.modelName, &index)) << c.label;
    EXPECT_EQ(index, -1) << c.label;
    EXPECT_FALSE(table.isSupported(c.manufacturer, c.modelName, nullptr)) << c.label;
  }
}

TEST(ModelTable, GettersOutsideTheTableGiveZeroAndAnEmptyKey) {
  for (const auto& build : kBuilds) {
    const auto count = static_cast<std::int32_t>(build.rows.size());
    for (const std::int32_t index : {-1, count, count + 1, std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max()}) {
      EXPECT_EQ(build.table.encryptionType(index), 0) << build.name << " " << index;
      EXPECT_EQ(build.table.encryptionKeyID(index), 0) << build.name << " " << index;
      EXPECT_EQ(build.table.encryptionModelID(index), 0) << build.name << " " << index;
      EXPECT_TRUE(build.table.jobTicketKey(index).empty()) << build.name << " " << index;
    }
  }
}

}  // namespace
}  // namespace printxpc
