// The one export lookup, as the loader links a runtime import with it.
#include <gtest/gtest.h>

#include "runtime/core/process/exports.h"

namespace {

void First() {}
void Second() {}

TEST(ExportLookup, SkipsUnnamedRowsIgnoresCaseAndTakesTheFirstMatch) {
  const MVExportRow rows[] = {
      {nullptr, reinterpret_cast<void*>(&Second), {0, 0}},
      {"RuntimeThing", reinterpret_cast<void*>(&First), {0, 0}},
      {"runtimething", reinterpret_cast<void*>(&Second), {0, 0}},
      {"Other", reinterpret_cast<void*>(&Second), {0, 0}},
  };
  EXPECT_EQ(MVFindExport("RUNTIMETHING", rows, 4), &rows[1]);
  EXPECT_EQ(MVFindExport("other", rows, 4), &rows[3]);
  // Only whole names match, and only within the rows given.
  EXPECT_EQ(MVFindExport("Runtime", rows, 4), nullptr);
  EXPECT_EQ(MVFindExport("RuntimeThings", rows, 4), nullptr);
  EXPECT_EQ(MVFindExport("Other", rows, 3), nullptr);
  EXPECT_EQ(MVFindExport("Other", rows, 0), nullptr);
}

TEST(ExportLookup, FindsTheRuntimesOwnExportsInItsTable) {
  uint32_t count = 0;
  const MVExportRow* rows = MVExportTable(&count);
  const MVExportRow* row = MVFindExport("runtimeinit", rows, count);
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row->name, "RuntimeInit");
  EXPECT_EQ(row->reserved[0], 0u);
  EXPECT_EQ(row->reserved[1], 0u);
}

}  // namespace
