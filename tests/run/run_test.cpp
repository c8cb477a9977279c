// End-to-end runs of the built TAVO_L0: dispatch, parameter parsing and
// validation messages, the log file and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

using test_support::ProgramResult;
using test_support::TempDir;

const std::string kDumpTool = "/usr/bin/h5dump";
const std::string kCfg = "TAVO_configuration.cfg";

// A fresh directory with empty input, output and working directories.
struct Workspace {
    TempDir dir{"tavo-run"};
    std::string input = dir / "in";
    std::string output = dir / "out";
    std::string work = dir / "work";

    Workspace() {
        test_support::make_dirs(input);
        test_support::make_dirs(output);
        test_support::make_dirs(work);
    }

    // Runs TAVO_L0 in the workspace, so only its own configuration file counts.
    ProgramResult run(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {TAVO_L0_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return test_support::run_program(argv, dir.path());
    }
};

using Parameters = std::map<std::string, std::string>;

// Every required parameter with a value that validates. Directories are
// given without their final separator so that normalisation is exercised.
Parameters valid_parameters(const Workspace& ws) {
    return {
        {"INPUT_TYPE", "HDF"},          {"INPUT_ROOT_DIRECTORY", ws.input},
        {"INPUT_SUBDIRECTORY", "FLAT"}, {"WORKING_DIRECTORY", ws.work},
        {"H5DUMP_EXE", kDumpTool},      {"OUTPUT_ROOT_DIRECTORY", ws.output},
        {"DESPIKE", "YES"},             {"ISP_CSV", "NO"},
        {"KITE", "17"},                 {"START", "2018/11/01"},
        {"END", "2018/11/01"},
    };
}

std::string config_text(const Parameters& parameters) {
    std::string text = "# TAVO level-0 run\n\n";
    for (const auto& [name, value] : parameters) text += name + "=" + value + "\n";
    return text;
}

void write_config(const Workspace& ws, const Parameters& parameters, const std::string& name = kCfg) {
    test_support::write_file(ws.dir / name, config_text(parameters));
}

// A run that failed with one logged message, found in log_directory's file
// of the day with the same stamped line as on the console.
void expect_failure(const ProgramResult& result, const std::string& message, const std::string& log_directory) {
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(test_support::strip_log_stamps(result.out), std::vector<std::string>{message});
    EXPECT_EQ(result.err, "");
    if (!log_directory.empty()) {
        EXPECT_EQ(test_support::read_file(log_directory + "/" + test_support::today_log_name()), result.out) << log_directory;
    }
}

struct CommandLineCase {
    std::vector<std::string> args;
    std::string message;
};

// A run that passed parsing and validation: over an empty input directory it
// goes on to input discovery, which finds nothing. input_root is the
// normalised INPUT_ROOT_DIRECTORY.
void expect_validated(const ProgramResult& result, const std::string& input_root,
                      const std::string& structure = "FLAT") {
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(test_support::strip_log_stamps(result.out),
              std::vector<std::string>{"ERROR - no input files found in " + structure + " directory structure " +
                                       input_root});
    EXPECT_EQ(result.err, "");
}

// ---- Dispatch ----

TEST(Dispatch, HelpWordsPrintTheUsageText) {
    Workspace ws;
    const std::string usage = test_support::read_file(std::string(TAVO_SOURCE_DIR) + "/tests/run/usage.txt");
    ASSERT_FALSE(usage.empty());
    for (const char* word : {"--help", "-help", "/help", "help", "HELP", "--Help"}) {
        const ProgramResult result = ws.run({word});
        EXPECT_EQ(result.exit_status, 0) << word;
        EXPECT_EQ(result.out, usage) << word;
    }
    EXPECT_TRUE(test_support::list_dir(ws.dir.path()) == (std::vector<std::string>{"in", "out", "work"}));
}

TEST(Dispatch, VersionWordsPrintTheVersionLine) {
    Workspace ws;
    for (const char* word : {"--version", "-version", "/Version", "VERSION", "version"}) {
        const ProgramResult result = ws.run({word});
        EXPECT_EQ(result.exit_status, 0) << word;
        EXPECT_EQ(result.out, "TAVO_L0 Released Version 1.0.18597\n") << word;
    }
}

TEST(Dispatch, WordsAmongOtherArgumentsAreEntries) {
    const CommandLineCase cases[] = {
        {{"--help", "KITE=17"}, "ERROR - expected PARAM=value, got: --help"},
        {{"KITE=17", "--version"}, "ERROR - expected PARAM=value, got: --version"},
        {{"--helpme"}, "ERROR - expected PARAM=value, got: --helpme"},
    };
    for (const CommandLineCase& c : cases) {
        Workspace ws;
        expect_failure(ws.run(c.args), c.message, ws.dir / "LOG");
    }
}

TEST(Dispatch, NoArgumentsRunOnTheDefaultConfigurationFile) {
    Workspace ws;
    write_config(ws, valid_parameters(ws));
    expect_validated(ws.run({}), ws.input + "/");
}

// ---- Command line ----

TEST(CommandLine, MalformedEntriesAreReported) {
    const std::string long_entry = "OUTPUT_PRODUCT=" + std::string(285, 'x');
    const std::string long_value = "OUTPUT_PRODUCT=" + std::string(257, 'x');
    const CommandLineCase cases[] = {
        {{"KITE"}, "ERROR - expected PARAM=value, got: KITE"},
        {{"KITE=\"17"}, "ERROR - improper double quotes in: KITE=\"17"},
        {{"KITE="}, "ERROR - missing value: KITE="},
        {{"=17"}, "ERROR - missing parameter: =17"},
        {{"START =2018/11/01"}, "ERROR - unrecognized parameter: START "},
        {{"KITE=17", "kite=18"}, "ERROR - duplicate parameter found: kite"},
        {{long_entry}, "ERROR - parameter entry too long: OUTPUT_PRODUCT=xxxxxxxxxxxxx..."},
        {{long_value}, "ERROR - parameter value longer than 256 characters: OUTPUT_PRODUCT"},
        {{"CONFIG=missing.cfg", "bad"}, "ERROR - Unable to open CONFIG file: missing.cfg"},
        {{"bad", "CONFIG=missing.cfg"}, "ERROR - expected PARAM=value, got: bad"},
    };
    for (const CommandLineCase& c : cases) {
        Workspace ws;
        SCOPED_TRACE(c.args[0]);
        // No output root is known yet: the log goes to LOG in the current directory.
        expect_failure(ws.run(c.args), c.message, ws.dir / "LOG");
    }
}

TEST(CommandLine, CompleteCommandLineNeedsNoConfigurationFile) {
    Workspace ws;
    Parameters parameters = valid_parameters(ws);
    parameters.erase("INPUT_TYPE");
    std::vector<std::string> args = {"input_type=hdf"};  // names and values in any case
    for (const auto& [name, value] : parameters) args.push_back(name + "=" + value);
    args.push_back("OUTPUT_PRODUCT=\"a \"b\" = c\"");  // quotes and inner blanks kept
    args.push_back("EVENT_OUTPUT=x=y");
    expect_validated(ws.run(args), ws.input + "/");
}

TEST(CommandLine, OverridesTheFile) {
    Workspace ws;
    Parameters parameters = valid_parameters(ws);
    parameters["KITE"] = "99";
    std::string text = config_text(parameters) + "KITE=16\n";
    test_support::write_file(ws.dir / kCfg, text);
    expect_validated(ws.run({"KITE=17"}), ws.input + "/");
}

TEST(CommandLine, QuotedValueIsStoredWithoutItsQuotes) {
    Workspace ws;
    write_config(ws, valid_parameters(ws));
    expect_validated(ws.run({"DESPIKE=\"YES\"", "KITE=\"18\""}), ws.input + "/");
}

// ---- Configuration file ----

struct FileCase {
    std::string text;
    std::string message;  // with "%f" standing for the file name
};

std::string with_file_name(std::string message, const std::string& file) {
    const size_t at = message.find("%f");
    if (at != std::string::npos) message.replace(at, 2, file);
    return message;
}

const std::vector<FileCase>& file_cases() {
    static const std::vector<FileCase> cases = {
        {"KITE\n", "ERROR - in %f, expected PARAM=value, got: KITE"},
        {"KITE=\"17\n", "ERROR - in %f, improper double quotes in: KITE=\"17"},
        {"KITE=\"17\" \t\r\n", "ERROR - in %f, unrecognized parameter: NOPE"},  // see the NOPE line below
        {"KITE=\n", "ERROR - in %f, missing value: KITE="},
        {"KITE =17\n", "ERROR - in %f, whitespace not allowed before or after equal sign: KITE =17"},
        {"NOPE=1\nKITE\n", "ERROR - in %f, unrecognized parameter: NOPE"},
        {"KITE=16\nKITE=16\n", "ERROR - in %f, duplicate parameter found: KITE"},
        {"EVENT_OUTPUT=" + std::string(257, 'e') + "\n",
         "ERROR - in %f, parameter value longer than 256 characters: EVENT_OUTPUT"},
        // A 279-character piece is a line; its continuation is one more.
        {"KITE=16" + std::string(272, ' ') + "KITE=18\n", "ERROR - in %f, duplicate parameter found: KITE"},
    };
    return cases;
}

TEST(ConfigurationFile, MalformedLinesAreReported) {
    for (const FileCase& c : file_cases()) {
        SCOPED_TRACE(c.text.substr(0, 40));
        Workspace ws;
        // Comments and blank lines before the line under test are ignored; the
        // NOPE line after it is only reached when the line itself passes.
        const std::string text = "# comment\n\n  INPUT_TYPE=HDF\n;x\n1KITE=3\n\tKITE=4\n" + c.text + "NOPE=2\n";
        test_support::write_file(ws.dir / kCfg, text);
        expect_failure(ws.run({}), with_file_name(c.message, kCfg), ws.dir / "LOG");
        // The same file named by CONFIG is reported under its own name.
        Workspace other;
        test_support::write_file(other.dir / "other.cfg", text);
        expect_failure(other.run({"CONFIG=other.cfg"}), with_file_name(c.message, "other.cfg"), other.dir / "LOG");
    }
}

TEST(ConfigurationFile, CommandLineFailureComesFirst) {
    Workspace ws;
    test_support::write_file(ws.dir / kCfg, "NOPE=1\n");
    expect_failure(ws.run({"KITE"}), "ERROR - expected PARAM=value, got: KITE", ws.dir / "LOG");
}

TEST(ConfigurationFile, CommentsTrailingBlanksAndConfigLinesAreAccepted) {
    Workspace ws;
    std::string text = "#INPUT_TYPE=XML\n\n INPUT_TYPE=XML\n;KITE=1\n";
    for (const auto& [name, value] : valid_parameters(ws)) text += name + "=" + value + " \t\r\n";
    text += "CONFIG=elsewhere.cfg\n";  // stored, no further effect
    text += "KITE" + std::string(300, '=') + "\n";  // its continuation starts with '=': a comment
    test_support::write_file(ws.dir / kCfg, text);
    const ProgramResult result = ws.run({"KITE=19"});
    expect_validated(result, ws.input + "/");
}

TEST(ConfigurationFile, NamedByConfigReplacesTheDefault) {
    Workspace ws;
    test_support::write_file(ws.dir / kCfg, "NOPE=1\n");
    write_config(ws, valid_parameters(ws), "run.cfg");
    expect_validated(ws.run({"CONFIG=run.cfg"}), ws.input + "/");
}

// ---- Validation ----

struct ValidationCase {
    std::string name;   // the parameter changed ("" for none)
    std::string value;  // its value; "%w" stands for the workspace directory
    std::string message;
    std::string log;  // the log directory ("%w" as above), "" when not checked
};

// Log directories: OUTPUT_ROOT_DIRECTORY normalised, or still as written.
const std::string kRootLog = "%w/out/LOG";
const std::string kRawLog = "%w/outLOG";

std::string in_workspace(std::string text, const Workspace& ws) {
    for (size_t at = text.find("%w"); at != std::string::npos; at = text.find("%w")) text.replace(at, 2, ws.dir.path());
    return text;
}

TEST(Validation, EachCheckHasItsMessage) {
    const ValidationCase cases[] = {
        {"INPUT_ROOT_DIRECTORY", "./in", "ERROR - INPUT_ROOT_DIRECTORY must begin with a forward slash, backslash, or drive letter, got: ./in", kRawLog},
        {"INPUT_ROOT_DIRECTORY", "", "ERROR - INPUT_ROOT_DIRECTORY must begin with a forward slash, backslash, or drive letter, got: ", kRawLog},
        {"INPUT_ROOT_DIRECTORY", "data", "ERROR - INPUT_ROOT_DIRECTORY has invalid Windows drive path (expected format X:\\dir), got: data", ""},
        {"INPUT_ROOT_DIRECTORY", "\\server", "ERROR - INPUT_ROOT_DIRECTORY has invalid Windows network path (expected format \\\\dir), got: \\server", ""},
        {"INPUT_ROOT_DIRECTORY", "%w/missing", "ERROR - unable to access INPUT_ROOT_DIRECTORY %w/missing/", kRawLog},
        {"OUTPUT_ROOT_DIRECTORY", "./out", "ERROR - OUTPUT_ROOT_DIRECTORY must begin with a forward slash, backslash, or drive letter, got: ./out", kRawLog},
        {"OUTPUT_ROOT_DIRECTORY", "D:\\out", "ERROR - mismatch of Unix/Windows directory formats between INPUT_ROOT_DIRECTORY and OUTPUT_ROOT_DIRECTORY", "%w/D:\\outLOG"},
        {"OUTPUT_ROOT_DIRECTORY", "%w/none", "ERROR - unable to access OUTPUT_ROOT_DIRECTORY %w/none/", "%w/none/LOG"},
        {"WORKING_DIRECTORY", "\\\\srv\\work", "ERROR - mismatch of Unix/Windows directory formats between INPUT_ROOT_DIRECTORY and WORKING_DIRECTORY", kRootLog},
        {"WORKING_DIRECTORY", "%w/none", "ERROR - unable to access WORKING_DIRECTORY %w/none/", kRootLog},
        {"WORKING_DIRECTORY", "%w/busy", "ERROR - non-empty WORKING_DIRECTORY %w/busy/; ensure directory is empty and restart run", kRootLog},
        {"INPUT_TYPE", "XML", "ERROR - parameter INPUT_TYPE must be HDF or APID, got: XML", kRootLog},
        {"INPUT_SUBDIRECTORY", "TREE", "ERROR - parameter INPUT_SUBDIRECTORY must be HIERARCHICAL or FLAT, got: TREE", kRootLog},
        {"DESPIKE", "maybe", "ERROR - parameter DESPIKE must be YES or NO, got: maybe", kRootLog},
        {"ISP_CSV", "1", "ERROR - parameter ISP_CSV must be YES or NO, got: 1", kRootLog},
        {"KITE", "016", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 016", kRootLog},
        {"KITE", "", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: ", kRootLog},
        {"H5DUMP_EXE", "%w/no-such-tool", "ERROR - H5DUMP_EXE file does not exist: %w/no-such-tool", kRootLog},
        {"START", "2018/11/31", "ERROR - bad START format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: 2018/11/31", kRootLog},
        {"END", "2018/10/31", "ERROR - START date/time is later than END", kRootLog},
        {"START", "2000/01/01t11:59:59", "ERROR - START must be after 2000/01/01t12:00:00), got: 2000/01/01t11:59:59", kRootLog},
    };
    for (const ValidationCase& c : cases) {
        SCOPED_TRACE(c.name + "=" + c.value);
        Workspace ws;
        test_support::make_dirs(ws.dir / "busy");
        test_support::write_file(ws.dir / "busy/f1.bin", "left over");
        Parameters parameters = valid_parameters(ws);
        if (c.value.empty()) {
            parameters.erase(c.name);  // not given at all
        } else {
            parameters[c.name] = in_workspace(c.value, ws);
        }
        write_config(ws, parameters);
        expect_failure(ws.run({}), in_workspace(c.message, ws), in_workspace(c.log, ws));
    }
}

TEST(Validation, FailureWithWindowsStyleLogsThroughOneLevel) {
    // Windows-style names are plain relative names here: the directory
    // "C:\in\" in the current directory is the input root.
    Workspace ws;
    for (const char* name : {"C:\\in\\", "D:\\out\\", "W:\\work\\"}) test_support::make_dirs(ws.dir / name);
    Parameters parameters = valid_parameters(ws);
    parameters["INPUT_ROOT_DIRECTORY"] = "C:\\in";
    parameters["OUTPUT_ROOT_DIRECTORY"] = "D:\\out\\";
    parameters["WORKING_DIRECTORY"] = "W:\\work";
    parameters["KITE"] = "15";
    write_config(ws, parameters);
    const ProgramResult result = ws.run({});
    expect_failure(result, "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 15", "");
    EXPECT_EQ(test_support::read_file(ws.dir / ("D:\\out\\LOG\\" + test_support::today_log_name())), result.out);

    parameters["KITE"] = "16";
    write_config(ws, parameters);
    expect_validated(ws.run({}), "C:\\in\\");
}

TEST(Validation, WindowsStyleDriveAndNetworkChecks) {
    Workspace ws;
    test_support::make_dirs(ws.dir / "C:\\in\\");
    const ValidationCase cases[] = {
        {"OUTPUT_ROOT_DIRECTORY", "Dout", "ERROR - OUTPUT_ROOT_DIRECTORY has invalid Windows drive path (expected format X:\\dir), got: Dout", ""},
        {"OUTPUT_ROOT_DIRECTORY", "\\out", "ERROR - OUTPUT_ROOT_DIRECTORY has invalid Windows network path (expected format \\\\dir), got: \\out", ""},
        {"WORKING_DIRECTORY", "W:", "ERROR - WORKING_DIRECTORY has invalid Windows drive path (expected format X:\\dir), got: W:", ""},
        {"WORKING_DIRECTORY", "\\", "ERROR - WORKING_DIRECTORY has invalid Windows network path (expected format \\\\dir), got: \\", ""},
    };
    for (const ValidationCase& c : cases) {
        SCOPED_TRACE(c.name + "=" + c.value);
        Parameters parameters = valid_parameters(ws);
        parameters["INPUT_ROOT_DIRECTORY"] = "C:\\in\\";
        parameters["OUTPUT_ROOT_DIRECTORY"] = "C:\\in";
        parameters["WORKING_DIRECTORY"] = "C:\\in";
        parameters[c.name] = c.value;
        write_config(ws, parameters);
        expect_failure(ws.run({}), c.message, "");
    }
}

TEST(Validation, AcceptsValuesInAnyCaseAndBothDateForms) {
    Workspace ws;
    Parameters parameters = valid_parameters(ws);
    parameters["INPUT_TYPE"] = "Apid";
    parameters["INPUT_SUBDIRECTORY"] = "Flat";
    parameters["DESPIKE"] = "No";
    parameters["ISP_CSV"] = "yes";
    parameters["INPUT_ROOT_DIRECTORY"] = ws.input + "/";
    parameters["START"] = "2018/305t06";
    parameters["END"] = "2018/11/02T05:06:07";
    write_config(ws, parameters);
    expect_validated(ws.run({}), ws.input + "/");
}

// ---- Long values and hostile names ----

// A directory whose path is exactly length characters, without a final "/".
std::string make_long_directory(const Workspace& ws, size_t length) {
    std::string path = ws.dir.path();
    while (path.size() < length) {
        const size_t room = length - path.size() - 1;
        const size_t part = room > 200 ? 100 : room;
        path += "/" + std::string(part, 'd');
    }
    test_support::make_dirs(path);
    return path;
}

TEST(LongValues, DirectoriesOf256CharactersKeepTheirSeparator) {
    Workspace ws;
    const std::string input = make_long_directory(ws, 256);
    ASSERT_EQ(input.size(), 256u);
    Parameters parameters = valid_parameters(ws);
    parameters["INPUT_ROOT_DIRECTORY"] = input;
    write_config(ws, parameters);
    expect_validated(ws.run({}), input + "/");

    // A failing run with a 256-character output root logs under it.
    const std::string root = input.substr(0, input.size() - 5) + "/oooo";
    ASSERT_EQ(root.size(), 256u);
    test_support::make_dirs(root);
    parameters["OUTPUT_ROOT_DIRECTORY"] = root;
    parameters["KITE"] = "1";
    write_config(ws, parameters);
    expect_failure(ws.run({}), "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 1", root + "/LOG");

    parameters["KITE"] = "17";
    write_config(ws, parameters);
    const std::string missing = input.substr(0, 255) + "x";
    expect_failure(ws.run({"INPUT_ROOT_DIRECTORY=" + missing}),
                   "ERROR - unable to access INPUT_ROOT_DIRECTORY " + missing + "/", root + "LOG");
    // One character more is refused, never cut; the file is then not taken.
    expect_failure(ws.run({"INPUT_ROOT_DIRECTORY=" + input + "x"}),
                   "ERROR - parameter value longer than 256 characters: INPUT_ROOT_DIRECTORY", ws.dir / "LOG");
}

TEST(LongValues, ShellCharactersInPathsAreJustNames) {
    Workspace ws;
    const std::string odd = ws.dir / "o u;t $(touch pwned) `touch pwned2` 'q";
    test_support::make_dirs(odd);
    Parameters parameters = valid_parameters(ws);
    parameters["OUTPUT_ROOT_DIRECTORY"] = odd + "/new level";  // missing: fails access
    write_config(ws, parameters);
    const ProgramResult result = ws.run({});
    expect_failure(result, "ERROR - unable to access OUTPUT_ROOT_DIRECTORY " + odd + "/new level/",
                   odd + "/new level/LOG");
    EXPECT_FALSE(test_support::file_exists(ws.dir / "pwned"));
    EXPECT_FALSE(test_support::file_exists(ws.dir / "pwned2"));
}

TEST(LongValues, LogUnderAMissingOutputRootIsCreated) {
    Workspace ws;
    test_support::write_file(ws.dir / kCfg, "OUTPUT_ROOT_DIRECTORY=" + ws.dir.path() + "/a/b/c/\nKITE\n");
    expect_failure(ws.run({}), "ERROR - in " + kCfg + ", expected PARAM=value, got: KITE", ws.dir / "a/b/c/LOG");
}

TEST(LongValues, UnwritableLogLeavesTheConsoleLine) {
    Workspace ws;
    test_support::write_file(ws.output + "/LOG", "a file in the way");
    Parameters parameters = valid_parameters(ws);
    parameters["KITE"] = "21";
    write_config(ws, parameters);
    expect_failure(ws.run({}), "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 21", "");
    EXPECT_EQ(test_support::read_file(ws.output + "/LOG"), "a file in the way");
}

TEST(LongValues, LinesOfTheDayAreAppended) {
    Workspace ws;
    ws.run({"KITE"});
    ws.run({"NOPE=1"});
    EXPECT_EQ(test_support::strip_log_stamps(test_support::read_file(ws.dir / ("LOG/" + test_support::today_log_name()))),
              (std::vector<std::string>{"ERROR - expected PARAM=value, got: KITE", "ERROR - unrecognized parameter: NOPE"}));
}

}  // namespace

namespace {

// Runs TAVO_L0 with standard output on a device that refuses every write.
int run_with_full_stdout(const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
    std::vector<std::string> argv = {TAVO_L0_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -2;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Dispatch, LostUsageOrVersionTextIsAFailure) {
    EXPECT_EQ(run_with_full_stdout({"--help"}), 1);
    EXPECT_EQ(run_with_full_stdout({"--version"}), 1);
}

TEST(ConfigurationFile, ReadErrorIsReported) {
    // Reading this file from its start fails with an input/output error.
    Workspace ws;
    expect_failure(ws.run({"CONFIG=/proc/self/mem"}), "ERROR - Unable to read configuration file: /proc/self/mem",
                   ws.dir / "LOG");
}

}  // namespace
