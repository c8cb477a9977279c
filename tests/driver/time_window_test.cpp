// The time window parser, called in process on START and END texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/driver.h"

namespace {

struct WindowCase {
    const char* start;
    const char* end;
    // Expected results when message is empty.
    uint32_t start_date, start_time, end_date, end_time;
    const char* message;  // "" for success
};

const std::string kStartFormat =
    "ERROR - bad START format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: ";
const std::string kEndFormat = "ERROR - bad END format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: ";

std::string expected_message(const WindowCase& c) {
    const std::string m = c.message;
    if (m == "START") return kStartFormat + c.start;
    if (m == "END") return kEndFormat + c.end;
    if (m == "ORDER") return "ERROR - START date/time is later than END";
    if (m == "START_EPOCH") return std::string("ERROR - START must be after 2000/01/01t12:00:00), got: ") + c.start;
    return "";
}

class TimeWindow : public testing::TestWithParam<WindowCase> {};

TEST_P(TimeWindow, ParsesOrRefuses) {
    const WindowCase& c = GetParam();
    reset_run_settings();
    std::snprintf(run_settings.param_text[PARAM_START], kValueSlot, "%s", c.start);
    std::snprintf(run_settings.param_text[PARAM_END], kValueSlot, "%s", c.end);
    char message[kRunMessageCapacity] = "";
    const bool ok = parse_time_window(message);
    const std::string expected = expected_message(c);
    EXPECT_EQ(ok, expected.empty());
    EXPECT_EQ(std::string(message), expected);
    if (ok) {
        EXPECT_EQ(run_settings.start_date, c.start_date);
        EXPECT_EQ(run_settings.start_time, c.start_time);
        EXPECT_EQ(run_settings.end_date, c.end_date);
        EXPECT_EQ(run_settings.end_time, c.end_time);
    }
}

constexpr const char* kDay = "2018/11/01";

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeWindow,
    testing::Values(
        // Whole days, filled-in times, the day-of-year form.
        WindowCase{kDay, kDay, 20181101, 0, 20181101, 235959, ""},
        WindowCase{"2018/305t06", kDay, 20181101, 60000, 20181101, 235959, ""},
        WindowCase{"2016/366t00", "2016/366t00", 20161231, 0, 20161231, 5959, ""},
        WindowCase{"2016/060t00", "2016/061t00", 20160229, 0, 20160301, 5959, ""},
        WindowCase{"2018/001t00", "2018/365t23", 20180101, 0, 20181231, 235959, ""},
        WindowCase{"2016/02/29", "2016/02/29", 20160229, 0, 20160229, 235959, ""},
        WindowCase{"2018/11/01t12", "2018/11/01t12", 20181101, 120000, 20181101, 125959, ""},
        WindowCase{"2018/11/01t12:30", "2018/11/01t12:30", 20181101, 123000, 20181101, 123059, ""},
        WindowCase{"2018/11/01T05:06:07", "2018/11/01t05:06:07", 20181101, 50607, 20181101, 50607, ""},
        WindowCase{"2018/11/01t23:59:59", kDay, 20181101, 235959, 20181101, 235959, ""},
        WindowCase{"2000/01/01t12:00:00", "2000/01/01t12", 20000101, 120000, 20000101, 125959, ""},
        WindowCase{"2099/12/31t23:59:59", "2099/365t23:59:59", 20991231, 235959, 20991231, 235959, ""},
        // Format failures of START.
        WindowCase{"2018/366t00", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/000t00", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/305", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/02/29", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/04/31", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/13/01", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/00/01", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/00", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018-11-01", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"1999/12/31", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2100/01/01", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"18/11/01", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01 05:06:07", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t05:06:07Z", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t5", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t24", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t12:60", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t12:00:60", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t12:00:0", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t12-00", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/01t12:00:00:", kDay, 0, 0, 0, 0, "START"},
        WindowCase{"2018/11/1x", kDay, 0, 0, 0, 0, "START"},
        // Format failures of END, and the order in which the two are judged.
        WindowCase{kDay, "2018/11/01t12:00:x5", 0, 0, 0, 0, "END"},
        WindowCase{kDay, "2018/11/31", 0, 0, 0, 0, "END"},
        WindowCase{kDay, "", 0, 0, 0, 0, "END"},
        WindowCase{"2018/13/01", "18/11/01", 0, 0, 0, 0, "END"},     // lengths before dates
        WindowCase{"2018/13/01", "2018-11-01", 0, 0, 0, 0, "END"},   // heads before dates
        WindowCase{"2018-11-01", "18/11/01", 0, 0, 0, 0, "END"},     // lengths before heads
        WindowCase{"2018/11/01t25", "2018/13/01", 0, 0, 0, 0, "END"},  // END date before START time
        WindowCase{"2018/11/01t25", "2018/11/01t99", 0, 0, 0, 0, "START"},
        // Order and epoch.
        WindowCase{"2018/11/02", kDay, 0, 0, 0, 0, "ORDER"},
        WindowCase{"2018/11/01t12:00:01", "2018/11/01t12:00:00", 0, 0, 0, 0, "ORDER"},
        WindowCase{"2000/01/01t11:59:59", "2000/01/02", 0, 0, 0, 0, "START_EPOCH"},
        WindowCase{"2000/01/01", "2000/01/01", 0, 0, 0, 0, "START_EPOCH"},
        WindowCase{"2000/01/01t00", "2000/01/01t11", 0, 0, 0, 0, "START_EPOCH"}));

}  // namespace
