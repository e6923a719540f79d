// What the service and the command line share about plans: a caller's sheet over the body's,
// and a batch page that says why when its plan cannot be drawn.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <printsvc/plots/batch.hpp>

#include "support.hpp"

namespace {
using namespace plots_test;

std::string example_body(const std::string& name) {
  std::ifstream in(std::string(PLOTS_EXAMPLES_DIR) + "/" + name + ".json");
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(PlanSheet, TheCallersChoiceOverridesTheBodysAndNamesItsFields) {
  pl::plan_request asked;
  asked.sheet = pl::sheet_options{{"file_no"}, "2026-01-02"};
  auto r = asked;
  pl::choose_sheet(r, std::nullopt, std::nullopt);
  ASSERT_TRUE(r.sheet);
  EXPECT_EQ(r.sheet->fields, std::vector<std::string>{"file_no"});
  r = asked;
  pl::choose_sheet(r, false, std::vector<std::string>{"x"});
  EXPECT_FALSE(r.sheet);
  r = asked;
  pl::choose_sheet(r, true, std::vector<std::string>{"owner"});
  ASSERT_TRUE(r.sheet);
  EXPECT_EQ(r.sheet->fields, std::vector<std::string>{"owner"});
  EXPECT_EQ(r.sheet->date, "2026-01-02") << "the body's date stays";
  pl::plan_request bare;
  pl::choose_sheet(bare, true, std::nullopt);
  EXPECT_TRUE(bare.sheet);
}

TEST(PlanBatch, EveryEntryGetsAPageAndThoseNotDrawnSayWhy) {
  pl::pdf_book book;
  const auto body = example_body("small_parcel_500");
  auto no_column = body;
  const std::string named = R"("columnname": "parcel_number")";
  no_column.replace(no_column.find(named), named.size(), R"("columnname": null)");
  EXPECT_FALSE(pl::add_plan_page(book, "page 1", body, "", std::nullopt).failure);
  const auto null_column = pl::add_plan_page(book, "page 2", no_column, "", std::nullopt);
  EXPECT_FALSE(null_column.failure) << "a null column name is the default one, as a single plan takes it: "
                                    << null_column.failure.value_or("");
  const auto missing = pl::add_plan_page(book, "page 3 (plot 7)", std::nullopt, "Plot 7 not found", std::nullopt);
  EXPECT_EQ(missing.failure, "Plot 7 not found");
  const auto broken = pl::add_plan_page(book, "page 4", R"({"parcel_data": [], "selected_parcel_number": 1})", "",
                                        pl::sheet_options{});
  ASSERT_TRUE(broken.failure);
  EXPECT_NE(broken.failure->find("no parcel with parcel_number 1"), std::string::npos) << *broken.failure;
  EXPECT_EQ(book.pages(), 4u);

  EXPECT_EQ(pl::plot_id_of(json(42)), 42);
  EXPECT_EQ(pl::plot_id_of(json(18446744073709551615u)), std::nullopt);
  EXPECT_EQ(pl::plot_id_of(json("42")), std::nullopt);
  EXPECT_EQ(pl::page_label(2), "page 3");
  const json long_id = std::string(100, '9');
  EXPECT_EQ(pl::page_label(0, &long_id), "page 1 (plot \"" + std::string(39, '9') + ")");
}

}  // namespace
