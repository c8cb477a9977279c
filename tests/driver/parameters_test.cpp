// Parameter parsing from the command line and the configuration file, called
// in process with the current directory set to a fresh scratch directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver_test_helpers.h"
#include "support/test_support.h"

namespace {

using driver_test::CurrentDirectory;
using driver_test::parse;
using driver_test::text;
using test_support::TempDir;
using test_support::write_file;

const std::string kDefaultFile = "TAVO_configuration.cfg";

struct MessageCase {
    std::vector<std::string> args;
    std::string config;   // content of TAVO_configuration.cfg; none when empty
    std::string message;  // "" when parsing succeeds
};

void expect_cases(const std::vector<MessageCase>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) {
        const MessageCase& c = cases[i];
        TempDir dir;
        CurrentDirectory here(dir.path());
        if (!c.config.empty()) write_file(kDefaultFile, c.config);
        const driver_test::ParseOutcome outcome = parse(c.args);
        EXPECT_EQ(outcome.message, c.message) << "case " << i;
        EXPECT_EQ(outcome.ok, c.message.empty()) << "case " << i;
    }
}

TEST(ParseCommandLine, SyntaxMessagesInTheirOrder) {
    expect_cases({
        {{"KITE"}, "", "ERROR - expected PARAM=value, got: KITE"},
        {{"KITE\"17\""}, "", "ERROR - expected PARAM=value, got: KITE\"17\""},  // '=' before quotes
        {{"--help", "x"}, "", "ERROR - expected PARAM=value, got: --help"},
        {{"%s%n%x"}, "", "ERROR - expected PARAM=value, got: %s%n%x"},  // shown, never interpreted
        {{"KITE=\"17"}, "", "ERROR - improper double quotes in: KITE=\"17"},
        {{"KITE=\""}, "", "ERROR - improper double quotes in: KITE=\""},  // quotes before missing value
        {{"KITE=\"\""}, "", "ERROR - improper double quotes in: KITE=\"\""},
        {{"KITE=\"\"17\""}, "", "ERROR - improper double quotes in: KITE=\"\"17\""},
        {{"KITE=\" 17\""}, "", "ERROR - improper double quotes in: KITE=\" 17\""},
        {{"KITE=\"\t17\""}, "", "ERROR - improper double quotes in: KITE=\"\t17\""},
        {{"KITE=\"\x80\""}, "", "ERROR - improper double quotes in: KITE=\"\x80\""},
        {{"KITE=1\"7\""}, "", "ERROR - improper double quotes in: KITE=1\"7\""},
        {{"KI\"TE=17\""}, "", "ERROR - improper double quotes in: KI\"TE=17\""},
        {{"KITE=\"17\"x"}, "", "ERROR - improper double quotes in: KITE=\"17\"x"},
        {{"\"KITE\"=17"}, "", "ERROR - improper double quotes in: \"KITE\"=17"},
        {{"KITE="}, "", "ERROR - missing value: KITE="},
        {{"="}, "", "ERROR - missing value: ="},  // missing value before '=' first
        {{"=17"}, "", "ERROR - missing parameter: =17"},
        {{"=\"17\""}, "", "ERROR - missing parameter: =\"17\""},
        {{"START =2018/11/01"}, "", "ERROR - unrecognized parameter: START "},
        {{"KIT=17"}, "", "ERROR - unrecognized parameter: KIT"},
        {{"KITES=17"}, "", "ERROR - unrecognized parameter: KITES"},
        {{" KITE=17"}, "", "ERROR - unrecognized parameter:  KITE"},
        {{"KITE=17", "kite=18"}, "", "ERROR - duplicate parameter found: kite"},
        // The first failure ends the pass: later arguments are not examined.
        {{"bogus", "KITE"}, "", "ERROR - expected PARAM=value, got: bogus"},
        {{"KITE=17", "X=1", "KITE=18"}, "", "ERROR - unrecognized parameter: X"},
    });
}

TEST(ParseCommandLine, StoresValuesAsWritten) {
    struct Case {
        std::string arg;
        int row;
        std::string value;
    };
    const std::vector<Case> cases = {
        {"input_type=hdf", PARAM_INPUT_TYPE, "hdf"},
        {"DESPIKE=\"YES\"", PARAM_DESPIKE, "YES"},
        {"H5DUMP_EXE=C:\\tools\\a=b.exe", PARAM_H5DUMP_EXE, "C:\\tools\\a=b.exe"},
        {"OUTPUT_PRODUCT=\"a \"b\" c\"", PARAM_OUTPUT_PRODUCT, "a \"b\" c"},  // inner quotes kept
        {"OUTPUT_PRODUCT=\"x\x7f\"", PARAM_OUTPUT_PRODUCT, "x\x7f"},
        {"EVENT_OUTPUT=\"\x7f\"", PARAM_EVENT_OUTPUT, "\x7f"},  // 127 may open a quoted value
        {"EVENT_OUTPUT=a b ", PARAM_EVENT_OUTPUT, "a b "},      // blanks kept
        {"Start==2018", PARAM_START, "=2018"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        CurrentDirectory here(dir.path());
        const driver_test::ParseOutcome outcome = parse({c.arg});
        EXPECT_TRUE(outcome.ok) << c.arg << ": " << outcome.message;
        EXPECT_EQ(text(c.row), c.value) << c.arg;
        for (int row = 0; row < kParameterCount; ++row) {
            EXPECT_EQ(run_settings.param_source[row], row == c.row ? kSourceCommandLine : kSourceNone) << c.arg;
            EXPECT_EQ(run_settings.param_number[row], 0);
        }
    }
}

TEST(ParseCommandLine, EntryAndValueLengths) {
    const std::string name = "OUTPUT_PRODUCT=";  // 15 characters
    const std::string long_message = "ERROR - parameter value longer than 256 characters: OUTPUT_PRODUCT";
    const std::string entry_280 = name + std::string(280 - name.size(), 'v');
    const std::string entry_281 = name + std::string(281 - name.size(), 'v');
    const std::string entry_300 = "KITE=" + std::string(295, '7');
    expect_cases({
        {{name + std::string(256, 'v')}, "", ""},
        {{"output_product=" + std::string(257, 'v')}, "", long_message},
        {{entry_280}, "", long_message},  // 280 characters is no entry too long
        {{entry_281}, "", "ERROR - parameter entry too long: " + entry_281.substr(0, 28) + "..."},
        {{entry_300}, "", "ERROR - parameter entry too long: KITE=77777777777777777777777..."},
        // The value length is judged after syntax, name and duplicate tests.
        {{name + "\"" + std::string(257, 'v')}, "", "ERROR - improper double quotes in: " + name + "\"" +
                                                        std::string(257, 'v')},
        {{"OUTPUT=" + std::string(257, 'v')}, "", "ERROR - unrecognized parameter: OUTPUT"},
        {{"OUTPUT_PRODUCT=a", name + std::string(257, 'v')}, "", "ERROR - duplicate parameter found: OUTPUT_PRODUCT"},
        // Quotes do not count towards the value.
        {{name + "\"" + std::string(256, 'v') + "\""}, "", ""},
        {{name + "\"" + std::string(257, 'v') + "\""}, "", long_message},
    });
}

TEST(ParseCommandLine, OverlongValueIsNeverCut) {
    TempDir dir;
    CurrentDirectory here(dir.path());
    EXPECT_FALSE(parse({"KITE=17", "OUTPUT_PRODUCT=" + std::string(257, 'v')}).ok);
    EXPECT_EQ(text(PARAM_OUTPUT_PRODUCT), "");
    EXPECT_EQ(run_settings.param_source[PARAM_OUTPUT_PRODUCT], kSourceNone);
    EXPECT_EQ(text(PARAM_KITE), "17");  // stored before the failure
}

TEST(ParseCommandLine, VeryLongArgumentIsReportedShort) {
    TempDir dir;
    CurrentDirectory here(dir.path());
    const driver_test::ParseOutcome outcome = parse({std::string(100000, 'K')});
    EXPECT_EQ(outcome.message, "ERROR - parameter entry too long: " + std::string(28, 'K') + "...");
}

TEST(ParseCommandLine, EveryRequiredParameterWithoutAnyFile) {
    TempDir dir;
    CurrentDirectory here(dir.path());
    const std::vector<std::string> args = {
        "INPUT_TYPE=HDF",     "INPUT_ROOT_DIRECTORY=/in", "INPUT_SUBDIRECTORY=FLAT", "WORKING_DIRECTORY=/w",
        "H5DUMP_EXE=/bin/h5", "OUTPUT_ROOT_DIRECTORY=/o", "DESPIKE=YES",             "ISP_CSV=NO",
        "KITE=17",            "START=2018/11/01",         "END=2018/11/01"};
    const driver_test::ParseOutcome outcome = parse(args);
    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(text(PARAM_WORKING_DIRECTORY), "/w");
    EXPECT_EQ(text(PARAM_OUTPUT_PRODUCT), "");
    EXPECT_EQ(run_settings.param_source[PARAM_OUTPUT_PRODUCT], kSourceNone);
}

TEST(ParseCommandLine, ResetsTheRecordOfAnEarlierRun) {
    TempDir dir;
    CurrentDirectory here(dir.path());
    ASSERT_TRUE(parse({"KITE=17", "START=2018/11/01"}).ok);
    run_settings.param_number[PARAM_KITE] = 17;
    run_settings.unix_paths = false;
    ASSERT_TRUE(parse({"START=2018/11/02"}).ok);
    EXPECT_EQ(text(PARAM_KITE), "");
    EXPECT_EQ(run_settings.param_source[PARAM_KITE], kSourceNone);
    EXPECT_EQ(run_settings.param_number[PARAM_KITE], 0);
    EXPECT_TRUE(run_settings.unix_paths);
    EXPECT_EQ(run_settings.path_separator, '\\');
    EXPECT_EQ(text(PARAM_START), "2018/11/02");
}

TEST(ParseConfigFile, MessagesInTheirOrder) {
    const std::string in = "ERROR - in " + kDefaultFile + ", ";
    expect_cases({
        {{}, "#INPUT_TYPE=HDF\n\n INPUT_TYPE=HDF\n\tKITE=1\n;KITE=2\n1KITE=3\n=4\n\"KITE\"=5\n", ""},
        {{}, "KITE\n", in + "expected PARAM=value, got: KITE"},
        {{}, "KITE=\"17\n", in + "improper double quotes in: KITE=\"17"},
        {{}, "KITE=\"\"\n", in + "improper double quotes in: KITE=\"\""},
        {{}, "KITE=  \n", in + "missing value: KITE="},      // trimmed before the tests
        {{}, "KITE =\n", in + "missing value: KITE ="},      // missing value before blank beside '='
        {{}, "START = 2018/11/01\n", in + "whitespace not allowed before or after equal sign: START = 2018/11/01"},
        {{}, "START =2018/11/01\n", in + "whitespace not allowed before or after equal sign: START =2018/11/01"},
        {{}, "START= 2018/11/01\n", in + "whitespace not allowed before or after equal sign: START= 2018/11/01"},
        {{}, "START\t=2018/11/01\n", in + "unrecognized parameter: START\t"},  // a tab is part of the name
        {{}, "BOGUS=1\n", in + "unrecognized parameter: BOGUS"},
        {{}, "K%s%n=1\n", in + "unrecognized parameter: K%s%n"},
        {{}, "KITE=16\nkite=16\n", in + "duplicate parameter found: kite"},
        {{}, "BOGUS=1\nKITE\n", in + "unrecognized parameter: BOGUS"},  // the first message stays
        // A command-line failure is kept; the file adds nothing.
        {{"X=1"}, "KITE\n", "ERROR - unrecognized parameter: X"},
        // The command line overrides the file, however often the file names it.
        {{"KITE=17"}, "KITE=16\nKITE=16\n", ""},
        {{"OUTPUT_PRODUCT=a"}, "OUTPUT_PRODUCT=" + std::string(257, 'v') + "\n", ""},
        {{}, "OUTPUT_PRODUCT=" + std::string(256, 'v') + "\n", ""},
        {{}, "OUTPUT_PRODUCT=" + std::string(257, 'v') + "\n",
         in + "parameter value longer than 256 characters: OUTPUT_PRODUCT"},
        {{}, "Output_Product=\"" + std::string(257, 'v') + "\"\n",
         in + "parameter value longer than 256 characters: OUTPUT_PRODUCT"},
        {{}, "OUTPUT_PRODUCT=a\nOUTPUT_PRODUCT=" + std::string(257, 'v') + "\n",
         in + "duplicate parameter found: OUTPUT_PRODUCT"},
        {{}, "OUTPUT=" + std::string(257, 'v') + "\n", in + "unrecognized parameter: OUTPUT"},
    });
}

TEST(ParseConfigFile, StoresTrimmedValuesWithTheirSource) {
    TempDir dir;
    CurrentDirectory here(dir.path());
    write_file(kDefaultFile,
               "KITE=16\r\n"
               "DESPIKE=\"YES\"   \n"
               "START=2018/11/01 \t\xc3\xa9\n"  // blanks, a tab and bytes of 128 and above at the end
               "EVENT_OUTPUT=a = b\n"
               "H5DUMP_EXE=C:\\tools\\a=b.exe");  // no line end at the end of the file
    const driver_test::ParseOutcome outcome = parse({"START=2018/11/02"});
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(text(PARAM_KITE), "16");
    EXPECT_EQ(text(PARAM_DESPIKE), "YES");
    EXPECT_EQ(text(PARAM_START), "2018/11/02");
    EXPECT_EQ(text(PARAM_EVENT_OUTPUT), "a = b");
    EXPECT_EQ(text(PARAM_H5DUMP_EXE), "C:\\tools\\a=b.exe");
    EXPECT_EQ(run_settings.param_source[PARAM_KITE], kSourceConfigFile);
    EXPECT_EQ(run_settings.param_source[PARAM_START], kSourceCommandLine);
    EXPECT_EQ(run_settings.param_source[PARAM_END], kSourceNone);
}

TEST(ParseConfigFile, NoLineIsTakenAfterTheFirstMessage) {
    TempDir dir;
    CurrentDirectory here(dir.path());
    write_file(kDefaultFile, "KITE=16\nBOGUS=1\nSTART=2018/11/01\n");
    EXPECT_FALSE(parse({}).ok);
    EXPECT_EQ(text(PARAM_KITE), "16");
    EXPECT_EQ(text(PARAM_START), "");
}

TEST(ParseConfigFile, LongLinesAreReadInPiecesOf279) {
    // A 300-character line: KITE=17 padded to 279 characters, then a piece
    // of 21 that is judged as a line of its own.
    std::string first = "KITE=17" + std::string(272, ' ');
    ASSERT_EQ(first.size(), 279u);
    {
        TempDir dir;
        CurrentDirectory here(dir.path());
        write_file(kDefaultFile, first + "END=2018/11/01       \n");
        const driver_test::ParseOutcome outcome = parse({});
        ASSERT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(text(PARAM_KITE), "17");
        EXPECT_EQ(text(PARAM_END), "2018/11/01");
    }
    {
        TempDir dir;
        CurrentDirectory here(dir.path());
        write_file(kDefaultFile, first + "Bogus=" + std::string(15, 'x') + "\n");
        EXPECT_EQ(parse({}).message, "ERROR - in " + kDefaultFile + ", unrecognized parameter: Bogus");
    }
    {
        // A remainder that begins with a blank is a comment.
        TempDir dir;
        CurrentDirectory here(dir.path());
        write_file(kDefaultFile, first + " Bogus=1\n");
        EXPECT_TRUE(parse({}).ok);
    }
}

TEST(ParseConfigFile, ConfigChoosesTheFile) {
    TempDir dir;
    CurrentDirectory here(dir.path());
    write_file(kDefaultFile, "KITE=16\n");
    write_file("other.cfg", "START=2018/11/01\nCONFIG=third.cfg\n");
    write_file("third.cfg", "END=2018/11/01\n");
    driver_test::ParseOutcome outcome = parse({"CONFIG=other.cfg"});
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(text(PARAM_KITE), "");  // the default file is not read
    EXPECT_EQ(text(PARAM_START), "2018/11/01");
    EXPECT_EQ(text(PARAM_END), "");  // no nested files
    EXPECT_EQ(text(PARAM_CONFIG), "other.cfg");
    EXPECT_EQ(run_settings.param_source[PARAM_CONFIG], kSourceCommandLine);

    // CONFIG in the default file is stored and has no other effect.
    write_file(kDefaultFile, "CONFIG=third.cfg\n");
    outcome = parse({});
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(text(PARAM_CONFIG), "third.cfg");
    EXPECT_EQ(run_settings.param_source[PARAM_CONFIG], kSourceConfigFile);
    EXPECT_EQ(text(PARAM_END), "");

    // File messages name the file as it was opened.
    write_file("other.cfg", "KITE\n");
    EXPECT_EQ(parse({"CONFIG=other.cfg"}).message, "ERROR - in other.cfg, expected PARAM=value, got: KITE");
}

TEST(ParseConfigFile, ConfigThatCannotBeOpened) {
    expect_cases({
        {{"CONFIG=missing.cfg"}, "", "ERROR - Unable to open CONFIG file: missing.cfg"},
        // CONFIG replaces the message of a later malformed entry...
        {{"CONFIG=missing.cfg", "KITE"}, "", "ERROR - Unable to open CONFIG file: missing.cfg"},
        {{"CONFIG=missing.cfg", "X=1"}, "KITE=16\n", "ERROR - Unable to open CONFIG file: missing.cfg"},
        // ... but a malformed entry before it keeps CONFIG from being stored.
        {{"KITE", "CONFIG=missing.cfg"}, "", "ERROR - expected PARAM=value, got: KITE"},
    });
    // A directory opens for reading but is no configuration file.
    TempDir dir;
    CurrentDirectory here(dir.path());
    test_support::make_dirs("a_directory.cfg");
    EXPECT_EQ(parse({"CONFIG=a_directory.cfg"}).message, "ERROR - Unable to open CONFIG file: a_directory.cfg");
}

}  // namespace
