// Parameter validation, called in process on a run-settings record filled
// directly. Each case runs in a fresh scratch directory as the current
// directory, so that Windows-style texts such as C:\in\ (one directory name
// on this platform) and relative ones such as C:/data can be made real.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver_test_helpers.h"
#include "support/test_support.h"

namespace {

using driver_test::CurrentDirectory;
using driver_test::set_text;
using driver_test::text;
using test_support::make_dirs;
using test_support::TempDir;
using test_support::write_file;

struct ValidationOutcome {
    bool ok = false;
    std::string message;
};

ValidationOutcome validate() {
    char run_message[kRunMessageCapacity] = "";
    ValidationOutcome outcome;
    outcome.ok = validate_parameters(run_message);
    outcome.message = run_message;
    return outcome;
}

// A scratch directory, made current, holding the directories and the dump
// tool of a valid run in either path style.
class Scene {
public:
    Scene() : here_(dir_.path()) {
        make_dirs(dir_ / "in");
        make_dirs(dir_ / "out");
        make_dirs(dir_ / "work");
        write_file("h5dump", "#!/bin/sh\n");
        // On this platform each of these is one directory name.
        make_dirs("C:\\in\\");
        make_dirs("C:\\out\\");
        make_dirs("C:\\work\\");
    }
    const TempDir& dir() const { return dir_; }

    void fill_unix() {
        fill_common();
        set_text(PARAM_INPUT_ROOT_DIRECTORY, dir_ / "in");
        set_text(PARAM_OUTPUT_ROOT_DIRECTORY, dir_ / "out");
        set_text(PARAM_WORKING_DIRECTORY, dir_ / "work");
    }
    void fill_windows() {
        fill_common();
        set_text(PARAM_INPUT_ROOT_DIRECTORY, "C:\\in");
        set_text(PARAM_OUTPUT_ROOT_DIRECTORY, "C:\\out");
        set_text(PARAM_WORKING_DIRECTORY, "C:\\work");
    }

private:
    static void fill_common() {
        reset_run_settings();
        set_text(PARAM_INPUT_TYPE, "HDF");
        set_text(PARAM_INPUT_SUBDIRECTORY, "FLAT");
        set_text(PARAM_H5DUMP_EXE, "h5dump");
        set_text(PARAM_DESPIKE, "YES");
        set_text(PARAM_ISP_CSV, "NO");
        set_text(PARAM_KITE, "17");
        set_text(PARAM_START, "2018/11/01");
        set_text(PARAM_END, "2018/11/01");
    }

    TempDir dir_;
    CurrentDirectory here_;
};

struct FailureCase {
    int row;
    std::string value;
    std::string message;
};

const std::string kDrive = " has invalid Windows drive path (expected format X:\\dir), got: ";
const std::string kNetwork = " has invalid Windows network path (expected format \\\\dir), got: ";
const std::string kBegin = " must begin with a forward slash, backslash, or drive letter, got: ";
const std::string kMismatch = "ERROR - mismatch of Unix/Windows directory formats between INPUT_ROOT_DIRECTORY and ";

void expect_failures(bool windows, const std::vector<FailureCase>& cases) {
    for (const FailureCase& c : cases) {
        Scene scene;
        if (windows) {
            scene.fill_windows();
        } else {
            scene.fill_unix();
        }
        set_text(c.row, c.value);
        const ValidationOutcome outcome = validate();
        EXPECT_FALSE(outcome.ok) << parameter_names[c.row] << "=" << c.value;
        EXPECT_EQ(outcome.message, c.message) << parameter_names[c.row] << "=" << c.value;
    }
}

TEST(ValidateParameters, BaseScenesPass) {
    for (bool windows : {false, true}) {
        Scene scene;
        if (windows) {
            scene.fill_windows();
        } else {
            scene.fill_unix();
        }
        const ValidationOutcome outcome = validate();
        EXPECT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(outcome.message, "");
        EXPECT_EQ(run_settings.unix_paths, !windows);
        EXPECT_EQ(run_settings.path_separator, windows ? '\\' : '/');
        EXPECT_EQ(run_settings.param_number[PARAM_INPUT_TYPE], 1);
        EXPECT_EQ(run_settings.param_number[PARAM_INPUT_SUBDIRECTORY], 0);
        EXPECT_EQ(run_settings.param_number[PARAM_DESPIKE], 1);
        EXPECT_EQ(run_settings.param_number[PARAM_ISP_CSV], 0);
        EXPECT_EQ(run_settings.param_number[PARAM_KITE], 17);
        EXPECT_EQ(run_settings.start_date, 20181101u);
        EXPECT_EQ(run_settings.start_time, 0u);
        EXPECT_EQ(run_settings.end_date, 20181101u);
        EXPECT_EQ(run_settings.end_time, 235959u);
    }
}

TEST(ValidateParameters, UnixStyleRunFailures) {
    expect_failures(false, {
        {PARAM_INPUT_ROOT_DIRECTORY, "", "ERROR - INPUT_ROOT_DIRECTORY" + kBegin},
        {PARAM_INPUT_ROOT_DIRECTORY, "./data", "ERROR - INPUT_ROOT_DIRECTORY" + kBegin + "./data"},
        {PARAM_INPUT_ROOT_DIRECTORY, "~/data", "ERROR - INPUT_ROOT_DIRECTORY" + kBegin + "~/data"},
        {PARAM_INPUT_ROOT_DIRECTORY, "1:/data", "ERROR - INPUT_ROOT_DIRECTORY" + kBegin + "1:/data"},
        {PARAM_INPUT_ROOT_DIRECTORY, "\\server", "ERROR - INPUT_ROOT_DIRECTORY" + kNetwork + "\\server"},
        {PARAM_INPUT_ROOT_DIRECTORY, "\\", "ERROR - INPUT_ROOT_DIRECTORY" + kNetwork + "\\"},
        {PARAM_INPUT_ROOT_DIRECTORY, "\\\\", "ERROR - INPUT_ROOT_DIRECTORY" + kNetwork + "\\\\"},
        {PARAM_INPUT_ROOT_DIRECTORY, "data", "ERROR - INPUT_ROOT_DIRECTORY" + kDrive + "data"},
        {PARAM_INPUT_ROOT_DIRECTORY, "Cdata", "ERROR - INPUT_ROOT_DIRECTORY" + kDrive + "Cdata"},
        {PARAM_INPUT_ROOT_DIRECTORY, "C:", "ERROR - INPUT_ROOT_DIRECTORY" + kDrive + "C:"},
        {PARAM_INPUT_ROOT_DIRECTORY, "C", "ERROR - INPUT_ROOT_DIRECTORY" + kDrive + "C"},
        {PARAM_INPUT_ROOT_DIRECTORY, "C:data", "ERROR - INPUT_ROOT_DIRECTORY" + kDrive + "C:data"},
        {PARAM_INPUT_ROOT_DIRECTORY, "/nowhere/in", "ERROR - unable to access INPUT_ROOT_DIRECTORY /nowhere/in/"},
        {PARAM_INPUT_ROOT_DIRECTORY, "/nowhere/in/", "ERROR - unable to access INPUT_ROOT_DIRECTORY /nowhere/in/"},
        {PARAM_INPUT_ROOT_DIRECTORY, "C:/nowhere", "ERROR - unable to access INPUT_ROOT_DIRECTORY C:/nowhere/"},
        {PARAM_INPUT_ROOT_DIRECTORY, "h5dump", "ERROR - INPUT_ROOT_DIRECTORY" + kDrive + "h5dump"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "", "ERROR - OUTPUT_ROOT_DIRECTORY" + kBegin},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "./out", "ERROR - OUTPUT_ROOT_DIRECTORY" + kBegin + "./out"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "D:\\out", kMismatch + "OUTPUT_ROOT_DIRECTORY"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "out", kMismatch + "OUTPUT_ROOT_DIRECTORY"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "\\\\server\\out", kMismatch + "OUTPUT_ROOT_DIRECTORY"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "/nowhere", "ERROR - unable to access OUTPUT_ROOT_DIRECTORY /nowhere/"},
        {PARAM_WORKING_DIRECTORY, "", "ERROR - WORKING_DIRECTORY" + kBegin},
        {PARAM_WORKING_DIRECTORY, "#work", "ERROR - WORKING_DIRECTORY" + kBegin + "#work"},
        {PARAM_WORKING_DIRECTORY, "D:\\work", kMismatch + "WORKING_DIRECTORY"},
        {PARAM_WORKING_DIRECTORY, "/nowhere/w", "ERROR - unable to access WORKING_DIRECTORY /nowhere/w/"},
        {PARAM_INPUT_TYPE, "", "ERROR - parameter INPUT_TYPE must be HDF or APID, got: "},
        {PARAM_INPUT_TYPE, "HDF5", "ERROR - parameter INPUT_TYPE must be HDF or APID, got: HDF5"},
        {PARAM_INPUT_SUBDIRECTORY, "flat ", "ERROR - parameter INPUT_SUBDIRECTORY must be HIERARCHICAL or FLAT, got: flat "},
        {PARAM_INPUT_SUBDIRECTORY, "", "ERROR - parameter INPUT_SUBDIRECTORY must be HIERARCHICAL or FLAT, got: "},
        {PARAM_DESPIKE, "Y", "ERROR - parameter DESPIKE must be YES or NO, got: Y"},
        {PARAM_DESPIKE, "", "ERROR - parameter DESPIKE must be YES or NO, got: "},
        {PARAM_ISP_CSV, "", "ERROR - parameter ISP_CSV must be YES or NO, got: "},
        {PARAM_ISP_CSV, "NOPE", "ERROR - parameter ISP_CSV must be YES or NO, got: NOPE"},
        {PARAM_KITE, "016", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 016"},
        {PARAM_KITE, "20", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 20"},
        {PARAM_KITE, "15", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 15"},
        {PARAM_KITE, "17 ", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 17 "},
        {PARAM_KITE, "", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: "},
        {PARAM_H5DUMP_EXE, "", "ERROR - H5DUMP_EXE file does not exist: "},
        {PARAM_H5DUMP_EXE, "/nowhere/h5dump", "ERROR - H5DUMP_EXE file does not exist: /nowhere/h5dump"},
        {PARAM_H5DUMP_EXE, "C:\\in\\", "ERROR - H5DUMP_EXE file does not exist: C:\\in\\"},  // a directory
        {PARAM_H5DUMP_EXE, ".", "ERROR - H5DUMP_EXE file does not exist: ."},
        {PARAM_START, "2018/11/02", "ERROR - START date/time is later than END"},
        {PARAM_END, "2018-11-01",
         "ERROR - bad END format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: 2018-11-01"},
    });
}

TEST(ValidateParameters, WindowsStyleRunFailures) {
    expect_failures(true, {
        {PARAM_INPUT_ROOT_DIRECTORY, "D:\\nowhere", "ERROR - unable to access INPUT_ROOT_DIRECTORY D:\\nowhere\\"},
        {PARAM_INPUT_ROOT_DIRECTORY, "\\\\server\\none\\",
         "ERROR - unable to access INPUT_ROOT_DIRECTORY \\\\server\\none\\"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "", "ERROR - OUTPUT_ROOT_DIRECTORY" + kBegin},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "/out", kMismatch + "OUTPUT_ROOT_DIRECTORY"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "C:/out", kMismatch + "OUTPUT_ROOT_DIRECTORY"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "D", "ERROR - OUTPUT_ROOT_DIRECTORY" + kDrive + "D"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "D:", "ERROR - OUTPUT_ROOT_DIRECTORY" + kDrive + "D:"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "\\out", "ERROR - OUTPUT_ROOT_DIRECTORY" + kNetwork + "\\out"},
        {PARAM_OUTPUT_ROOT_DIRECTORY, "D:\\nowhere", "ERROR - unable to access OUTPUT_ROOT_DIRECTORY D:\\nowhere\\"},
        {PARAM_WORKING_DIRECTORY, "", "ERROR - WORKING_DIRECTORY" + kBegin},
        {PARAM_WORKING_DIRECTORY, "C:/work", kMismatch + "WORKING_DIRECTORY"},
        {PARAM_WORKING_DIRECTORY, "Dwork", "ERROR - WORKING_DIRECTORY" + kDrive + "Dwork"},
        {PARAM_WORKING_DIRECTORY, "\\w", "ERROR - WORKING_DIRECTORY" + kNetwork + "\\w"},
        {PARAM_WORKING_DIRECTORY, "D:\\nowhere\\", "ERROR - unable to access WORKING_DIRECTORY D:\\nowhere\\"},
    });
}

TEST(ValidateParameters, DirectoriesGetOneSeparator) {
    struct Case {
        std::string input, output, work;              // as given
        std::string made_input, made_output, made_work;  // made in the scratch directory ("" for none)
        std::string want_input, want_output, want_work;
        bool unix_paths;
    };
    const std::vector<Case> cases = {
        {"C:/data", "C:/o", "C:/work_dir", "C:/data", "C:/o", "C:/work_dir", "C:/data/", "C:/o/", "C:/work_dir/", true},
        {"C:/data/", "C:/o/", "C:/work_dir/", "C:/data", "C:/o", "C:/work_dir", "C:/data/", "C:/o/", "C:/work_dir/",
         true},
        {"C:\\in", "C:\\out", "C:\\work", "", "", "", "C:\\in\\", "C:\\out\\", "C:\\work\\", false},
        {"C:\\in\\", "C:\\out\\", "C:\\work\\", "", "", "", "C:\\in\\", "C:\\out\\", "C:\\work\\", false},
        {"\\\\server\\share", "\\\\o", "c:\\work", "\\\\server\\share\\", "\\\\o\\", "c:\\work\\",
         "\\\\server\\share\\", "\\\\o\\", "c:\\work\\", false},
    };
    for (const Case& c : cases) {
        Scene scene;
        scene.fill_windows();
        for (const std::string& made : {c.made_input, c.made_output, c.made_work}) {
            if (!made.empty()) make_dirs(made);
        }
        set_text(PARAM_INPUT_ROOT_DIRECTORY, c.input);
        set_text(PARAM_OUTPUT_ROOT_DIRECTORY, c.output);
        set_text(PARAM_WORKING_DIRECTORY, c.work);
        const ValidationOutcome outcome = validate();
        EXPECT_TRUE(outcome.ok) << c.input << ": " << outcome.message;
        EXPECT_EQ(text(PARAM_INPUT_ROOT_DIRECTORY), c.want_input);
        EXPECT_EQ(text(PARAM_OUTPUT_ROOT_DIRECTORY), c.want_output);
        EXPECT_EQ(text(PARAM_WORKING_DIRECTORY), c.want_work);
        EXPECT_EQ(run_settings.unix_paths, c.unix_paths) << c.input;
        EXPECT_EQ(run_settings.path_separator, c.unix_paths ? '/' : '\\') << c.input;
    }
    // Absolute Unix texts of different lengths, with and without separator.
    for (const char* end : {"", "/"}) {
        Scene scene;
        scene.fill_unix();
        set_text(PARAM_INPUT_ROOT_DIRECTORY, scene.dir() / ("in" + std::string(end)));
        set_text(PARAM_OUTPUT_ROOT_DIRECTORY, scene.dir() / ("out" + std::string(end)));
        const ValidationOutcome outcome = validate();
        EXPECT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(text(PARAM_INPUT_ROOT_DIRECTORY), scene.dir() / "in/");
        EXPECT_EQ(text(PARAM_OUTPUT_ROOT_DIRECTORY), scene.dir() / "out/");
        EXPECT_EQ(text(PARAM_WORKING_DIRECTORY), scene.dir() / "work/");
    }
}

TEST(ValidateParameters, DirectoryValuesOf256CharactersGetTheirSeparator) {
    Scene scene;
    std::vector<std::string> roots;
    for (char fill : {'i', 'o', 'w'}) {
        const std::string root = scene.dir().path() + "/" + std::string(256 - scene.dir().path().size() - 1, fill);
        ASSERT_EQ(root.size(), 256u);
        make_dirs(root);
        roots.push_back(root);
    }
    scene.fill_unix();
    // Through the parser, as an operator would give them.
    const driver_test::ParseOutcome parsed = driver_test::parse({
        "INPUT_ROOT_DIRECTORY=" + roots[0], "OUTPUT_ROOT_DIRECTORY=" + roots[1], "WORKING_DIRECTORY=" + roots[2],
        "INPUT_TYPE=HDF", "INPUT_SUBDIRECTORY=FLAT", "H5DUMP_EXE=h5dump", "DESPIKE=NO", "ISP_CSV=NO", "KITE=16",
        "START=2018/11/01", "END=2018/11/01"});
    ASSERT_TRUE(parsed.ok) << parsed.message;
    const ValidationOutcome outcome = validate();
    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(text(PARAM_INPUT_ROOT_DIRECTORY), roots[0] + "/");
    EXPECT_EQ(text(PARAM_OUTPUT_ROOT_DIRECTORY), roots[1] + "/");
    EXPECT_EQ(text(PARAM_WORKING_DIRECTORY), roots[2] + "/");
    // Neighbouring fields are untouched.
    EXPECT_EQ(text(PARAM_INPUT_SUBDIRECTORY), "FLAT");
    EXPECT_EQ(text(PARAM_H5DUMP_EXE), "h5dump");
    EXPECT_EQ(text(PARAM_DESPIKE), "NO");
}

TEST(ValidateParameters, WorkingDirectoryMustBeEmpty) {
    for (const char* entry : {"file", ".hidden", "subdirectory/"}) {
        Scene scene;
        scene.fill_unix();
        const std::string name = entry;
        if (name.back() == '/') {
            make_dirs(scene.dir() / ("work/" + name));
        } else {
            write_file(scene.dir() / ("work/" + name), "x");
        }
        EXPECT_EQ(validate().message, "ERROR - non-empty WORKING_DIRECTORY " + scene.dir() / "work/" +
                                          "; ensure directory is empty and restart run")
            << entry;
    }
    Scene scene;
    scene.fill_windows();
    write_file("C:\\work\\/f1.bin", "x");
    EXPECT_EQ(validate().message,
              "ERROR - non-empty WORKING_DIRECTORY C:\\work\\; ensure directory is empty and restart run");
}

TEST(ValidateParameters, EnumerationsInAnyCase) {
    struct Case {
        int row;
        const char* value;
        int32_t number;
    };
    const Case cases[] = {
        {PARAM_INPUT_TYPE, "hdf", 1},          {PARAM_INPUT_TYPE, "Apid", 0},
        {PARAM_INPUT_TYPE, "APID", 0},         {PARAM_INPUT_SUBDIRECTORY, "Flat", 0},
        {PARAM_INPUT_SUBDIRECTORY, "hierarchical", 1}, {PARAM_DESPIKE, "yes", 1},
        {PARAM_DESPIKE, "No", 0},              {PARAM_ISP_CSV, "yEs", 1},
        {PARAM_ISP_CSV, "nO", 0},              {PARAM_KITE, "16", 16},
        {PARAM_KITE, "18", 18},                {PARAM_KITE, "19", 19},
    };
    for (const Case& c : cases) {
        Scene scene;
        scene.fill_unix();
        set_text(c.row, c.value);
        const ValidationOutcome outcome = validate();
        EXPECT_TRUE(outcome.ok) << c.value << ": " << outcome.message;
        EXPECT_EQ(run_settings.param_number[c.row], c.number) << c.value;
    }
}

TEST(ValidateParameters, AnyDumpFileIsCheckedForApidInputToo) {
    Scene scene;
    scene.fill_unix();
    set_text(PARAM_INPUT_TYPE, "APID");
    set_text(PARAM_H5DUMP_EXE, "no_such_tool");
    EXPECT_EQ(validate().message, "ERROR - H5DUMP_EXE file does not exist: no_such_tool");
    EXPECT_EQ(run_settings.param_number[PARAM_INPUT_TYPE], 0);
}

TEST(ValidateParameters, FailureAtSubdirectoryKeepsEarlierResults) {
    Scene scene;
    scene.fill_windows();
    set_text(PARAM_INPUT_SUBDIRECTORY, "TREE");
    set_text(PARAM_DESPIKE, "yes");
    char run_message[kRunMessageCapacity];
    std::snprintf(run_message, sizeof run_message, "stale");
    EXPECT_FALSE(validate_parameters(run_message));
    EXPECT_STREQ(run_message, "ERROR - parameter INPUT_SUBDIRECTORY must be HIERARCHICAL or FLAT, got: TREE");
    EXPECT_FALSE(run_settings.unix_paths);
    EXPECT_EQ(run_settings.path_separator, '\\');
    EXPECT_EQ(text(PARAM_INPUT_ROOT_DIRECTORY), "C:\\in\\");
    EXPECT_EQ(text(PARAM_OUTPUT_ROOT_DIRECTORY), "C:\\out\\");
    EXPECT_EQ(text(PARAM_WORKING_DIRECTORY), "C:\\work\\");
    EXPECT_EQ(run_settings.param_number[PARAM_INPUT_TYPE], 1);
    EXPECT_EQ(run_settings.param_number[PARAM_DESPIKE], 0);  // not reached
    EXPECT_EQ(run_settings.start_date, 0u);
}

TEST(ValidateParameters, InadmissibleInputRootKeepsUnixStyle) {
    // The log of such a failure is written in Unix style.
    Scene scene;
    scene.fill_unix();
    set_text(PARAM_INPUT_ROOT_DIRECTORY, "~/in");
    EXPECT_FALSE(validate().ok);
    EXPECT_TRUE(run_settings.unix_paths);
    EXPECT_EQ(text(PARAM_OUTPUT_ROOT_DIRECTORY), scene.dir() / "out");  // not yet normalised
}

}  // namespace
