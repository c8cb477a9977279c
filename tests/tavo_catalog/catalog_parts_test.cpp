// The catalog's parts in process: times, periods, the three output formats,
// the companions' shared text and date helpers, and a reader that keeps
// reading while an ingest writes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "catalog.h"
#include "support/test_support.h"
#include "text.h"
#include "time_text.h"

namespace {


TEST(CatalogTimes, ReadAndWritten) {
    struct Case {
        const char* text;
        bool ok;
        int64_t ms;
    };
    const Case cases[] = {
        {"1970-01-01", true, 0},
        {"1970/01/02", true, 86400000},
        {"2017-03-01T12:00:02.345", true, 1488369602345},
        {"2017-03-01T12:00:02.3Z", true, 1488369602300},
        {"2017-03-01T12:00:02Z", true, 1488369602000},
        {"2016-02-29T23:59:59.999", true, 1456790399999},
        {"1969-12-31T23:59:59.000", true, -1000},
        {"2017-13-01", false, 0},
        {"2017-03-01 12:00:00", false, 0},
        {"2017-03-01T12:00", false, 0},
        {"2017-3-1", false, 0},
        {"2017-03-01T12:00:02.345x", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        int64_t ms = 0;
        EXPECT_EQ(tavo_tools::parse_utc_ms(c.text, ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        }
    }
    EXPECT_EQ(tavo_tools::utc_ms_text(1488369602345), "2017-03-01T12:00:02.345");
    EXPECT_EQ(tavo_tools::utc_ms_text(-1000), "1969-12-31T23:59:59.000");
    EXPECT_EQ(tavo_tools::utc_date_text(1456790399999), "2016-02-29");
}

TEST(CatalogPeriods, WholeDaysOrAMessage) {
    tavo_catalog::Period period;
    std::string error;
    ASSERT_TRUE(tavo_catalog::make_period("2017-03-01", "2017/03/02", 16, period, error)) << error;
    EXPECT_EQ(period.from_ms, 1488326400000);
    EXPECT_EQ(period.to_ms, 1488326400000 + 2 * tavo_catalog::kMsPerDay - 1);
    EXPECT_EQ(period.kite, 16);
    for (const auto& [from, to] : {std::pair{"2017-03-01T12:00:00", "2017-03-02"}, std::pair{"2017-03-02", "2017-03-01"},
                                   std::pair{"March", "2017-03-01"}}) {
        error.clear();
        EXPECT_FALSE(tavo_catalog::make_period(from, to, 0, period, error)) << from;
        EXPECT_FALSE(error.empty());
    }
}

TEST(CatalogTables, TextJsonAndCsv) {
    tavo_catalog::Table table;
    table.columns = {"kite", "reason", "completeness"};
    table.rows = {{16, "final_packet_missing", 98.25}, {17, "held back, \"twice\"", nlohmann::json()}};
    EXPECT_EQ(tavo_catalog::format_table(table, tavo_catalog::Format::kText),
              "kite  reason                completeness\n"
              "16    final_packet_missing  98.2\n"
              "17    held back, \"twice\"    \n");
    EXPECT_EQ(tavo_catalog::format_table(table, tavo_catalog::Format::kCsv),
              "kite,reason,completeness\n16,final_packet_missing,98.2\n17,\"held back, \"\"twice\"\"\",\n");
    const nlohmann::json rows = nlohmann::json::parse(tavo_catalog::format_table(table, tavo_catalog::Format::kJson));
    EXPECT_EQ(rows[0], nlohmann::json({{"kite", 16}, {"reason", "final_packet_missing"}, {"completeness", 98.25}}));
    EXPECT_TRUE(rows[1]["completeness"].is_null());
    EXPECT_EQ(tavo_catalog::format_table({{"kite"}, {}}, tavo_catalog::Format::kText), "kite\n(none)\n");
}

TEST(CompanionsShared, TextAndDates) {
    EXPECT_EQ(tavo_tools::escape_html("<a href=\"x\">&</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
    EXPECT_EQ(tavo_tools::csv_field("plain"), "plain");
    EXPECT_EQ(tavo_tools::csv_field("a,b"), "\"a,b\"");
    EXPECT_EQ(tavo_tools::csv_field("line\nend"), "\"line\nend\"");
    for (const auto& [year, month, day] : {std::tuple{1970, 1u, 1u}, std::tuple{2000, 2u, 29u},
                                           std::tuple{2017, 3u, 1u}, std::tuple{1600, 12u, 31u}}) {
        const tavo_tools::CivilDate date = tavo_tools::civil_from_days(tavo_tools::days_from_civil(year, month, day));
        EXPECT_EQ(std::tuple(date.year, date.month, date.day), std::tuple(int64_t{year}, month, day));
    }
    EXPECT_EQ(tavo_tools::days_from_civil(2017, 3, 1), 17226);
}

// A follower's metrics text: the two gauges of its satellite read, other
// samples passed over; a damaged text says where, never a value.
TEST(FollowerMetrics, ReadOrTheirDamageNamed) {
    const std::string kMark = "tavo_l0_follow_processed_to_timestamp_seconds";
    const std::string kLast = "tavo_l0_follow_last_product_timestamp_seconds";
    struct Case {
        std::string text;
        std::string damage;  // "" when read: mark 1488373199.5, last product 1488373260
    };
    const Case cases[] = {
        {"# TYPE " + kMark + " gauge\n" + kMark + "{kite=\"16\"} 1488373199.5\n\n" + kLast + "{kite=\"16\"} 1488373260\n", ""},
        {kMark + " 1488373199.5 1488373300000\n" + kLast + "{kite=\"16\",} 1.48837326e9\n" + kMark +
             "{kite=\"17\"} 5\nx{a=\"} \\\" {\"} 1\n", ""},
        {kMark + "{kite=\"16\"} 1488373199.5\n" + kLast + "{kite=\"16\"", "line 2: the labels of " + kLast + " are not closed"},
        {kMark + "{kite=\"16\"} 1488373199.5\n" + kLast + "{kite=\"16} 1", "line 2: a label value of "},
        {kMark + "{kite=\"16\"} 1488373199.5\n" + kLast + "{kite=\"16\"} 14883x", "line 2: the value of "},
        {kMark + "{kite=\"16\"} NaN\n" + kLast + " 0\n", "line 1: " + kMark + " is no time of the years to 2099"},
        {kMark + "{kite=\"16\"} 1e300\n" + kLast + " 0\n", "is no time of the years to 2099"},
        {kMark + "{kite=\"16\"} 1e999\n" + kLast + " 0\n", "line 1: the value of "},
        {kMark + "{kite=\"17\"} 1488373199\n" + kLast + "{kite=\"16\"} 0\n", "no tavo_l0_follow_processed_to"},
        {std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(3, '\0'), "line 1: no metric name"},
        {"", "no tavo_l0_follow_processed_to"},
    };
    for (const Case& c : cases) {
        tavo_catalog::FollowerState state;
        std::string why;
        const bool read = tavo_catalog::parse_follower_metrics(c.text, 16, state, why);
        EXPECT_EQ(read, c.damage.empty()) << c.text << ": " << why;
        if (read) {
            EXPECT_EQ(state.processed_to, 1488373199.5) << c.text;
            EXPECT_EQ(state.last_product, 1488373260) << c.text;
        } else {
            EXPECT_NE(why.find(c.damage), std::string::npos) << c.text << ": " << why;
        }
    }
}

// WAL mode: a reader in the middle of a read sees the catalog as it was,
// and the ingest that runs meanwhile is not held up.
TEST(CatalogConcurrency, AReaderDoesNotStopTheWriter) {
    test_support::TempDir dir("tavo-catalog-wal");
    const std::string db = dir / "c.sqlite";
    tavo_catalog::Catalog writer;
    std::string error;
    ASSERT_TRUE(writer.open(db, true, error)) << error;
    ASSERT_TRUE(writer.commit(error)) << error;  // the tables made
    tavo_catalog::Catalog reader;
    ASSERT_TRUE(reader.open(db, false, error)) << error;
    ASSERT_TRUE(tavo_catalog::execute(reader, "BEGIN", error)) << error;
    tavo_catalog::Statement runs(reader, "SELECT count(*) FROM runs");
    ASSERT_TRUE(runs.step());
    EXPECT_EQ(runs.integer(0), 0);
    ASSERT_TRUE(tavo_catalog::execute(writer,
                                      "INSERT INTO runs(program, version, host, configuration_checksum, kite, "
                                      "window_start, window_end, started, finished, exit_status, output_root, report, "
                                      "ingested) VALUES('tavo_l0audit', '2.0', 'h', 'c', 16, 0, 1, 's', 'f', 0, '/', "
                                      "'r', 'i')",
                                      error))
        << error;
    runs.reset();
    ASSERT_TRUE(runs.step());
    EXPECT_EQ(runs.integer(0), 0);  // the reader's snapshot
    runs.reset();
    ASSERT_TRUE(tavo_catalog::execute(reader, "COMMIT", error)) << error;
    ASSERT_TRUE(runs.step());
    EXPECT_EQ(runs.integer(0), 1);
}

}  // namespace
