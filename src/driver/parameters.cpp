// The 14 run parameters from the command line and the configuration file.
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/driver.h"

namespace {

constexpr size_t kMaxEntryLength = 280;     // longest command-line entry
constexpr int kConfigPieceBuffer = 280;     // a configuration line is read in pieces of 279
constexpr int kShownEntryPrefix = 28;       // an overlong entry is shown by its first characters
constexpr const char* kDefaultConfigFile = "TAVO_configuration.cfg";

// Outcome of the syntax tests on one entry, in the order they are made.
enum class EntrySyntax { kWellFormed, kNoEquals, kBadQuotes, kNoValue, kEqualsFirst, kBlankBesideEquals };

// One parsed entry: the name before the first '=' and the value text.
struct Entry {
    const char* name;
    size_t name_length;
    const char* value;
    size_t value_length;
};

bool quotes_are_proper(const char* entry, const char* equals, const char* first_quote) {
    const char* last_quote = std::strrchr(entry, '"');
    if (last_quote == first_quote) return false;  // a single quote
    if (first_quote < equals) return false;
    if (first_quote[-1] != '=') return false;
    if (last_quote[1] != '\0') return false;
    const unsigned char opening = static_cast<unsigned char>(first_quote[1]);
    return opening != '"' && opening >= 33 && opening <= 127;
}

EntrySyntax check_entry_syntax(const char* entry, bool from_file) {
    const char* equals = std::strchr(entry, '=');
    if (equals == nullptr) return EntrySyntax::kNoEquals;
    const char* first_quote = std::strchr(entry, '"');
    if (first_quote != nullptr && !quotes_are_proper(entry, equals, first_quote)) return EntrySyntax::kBadQuotes;
    if (equals[1] == '\0') return EntrySyntax::kNoValue;
    if (equals == entry) return EntrySyntax::kEqualsFirst;
    if (from_file && (equals[-1] == ' ' || equals[1] == ' ')) return EntrySyntax::kBlankBesideEquals;
    return EntrySyntax::kWellFormed;
}

// Splits a well-formed entry. A quoted value is the text between the first
// and the last quote.
Entry split_entry(const char* entry) {
    const char* equals = std::strchr(entry, '=');
    Entry result{entry, static_cast<size_t>(equals - entry), equals + 1, std::strlen(equals + 1)};
    const char* first_quote = std::strchr(entry, '"');
    if (first_quote != nullptr) {
        const char* last_quote = std::strrchr(entry, '"');
        result.value = first_quote + 1;
        result.value_length = static_cast<size_t>(last_quote - first_quote - 1);
    }
    return result;
}

// Row of the parameter whose name equals the given text (case ignored), or -1.
int find_parameter(const char* name, size_t length) {
    for (int row = 0; row < kParameterCount; ++row) {
        if (std::strlen(parameter_names[row]) == length && strncasecmp(parameter_names[row], name, length) == 0) {
            return row;
        }
    }
    return -1;
}

void store_value(int row, const Entry& entry, int32_t source) {
    std::memcpy(run_settings.param_text[row], entry.value, entry.value_length);
    run_settings.param_text[row][entry.value_length] = '\0';
    run_settings.param_source[row] = source;
}

void set_command_line_syntax_message(char* run_message, EntrySyntax syntax, const char* entry) {
    switch (syntax) {
        case EntrySyntax::kNoEquals:
            set_run_message(run_message, "ERROR - expected PARAM=value, got: %s", entry);
            break;
        case EntrySyntax::kBadQuotes:
            set_run_message(run_message, "ERROR - improper double quotes in: %s", entry);
            break;
        case EntrySyntax::kNoValue:
            set_run_message(run_message, "ERROR - missing value: %s", entry);
            break;
        case EntrySyntax::kEqualsFirst:
        case EntrySyntax::kBlankBesideEquals:  // not tested on the command line
            set_run_message(run_message, "ERROR - missing parameter: %s", entry);
            break;
        case EntrySyntax::kWellFormed:
            break;
    }
}

void set_file_syntax_message(char* run_message, EntrySyntax syntax, const char* file_name, const char* line) {
    switch (syntax) {
        case EntrySyntax::kNoEquals:
            set_run_message(run_message, "ERROR - in %s, expected PARAM=value, got: %s", file_name, line);
            break;
        case EntrySyntax::kBadQuotes:
            set_run_message(run_message, "ERROR - in %s, improper double quotes in: %s", file_name, line);
            break;
        case EntrySyntax::kNoValue:
            set_run_message(run_message, "ERROR - in %s, missing value: %s", file_name, line);
            break;
        case EntrySyntax::kEqualsFirst:  // cannot occur: a file line begins with a letter
        case EntrySyntax::kBlankBesideEquals:
            set_run_message(run_message, "ERROR - in %s, whitespace not allowed before or after equal sign: %s",
                            file_name, line);
            break;
        case EntrySyntax::kWellFormed:
            break;
    }
}

// One command-line argument; false after formatting its message.
bool take_command_line_entry(const char* argument, char* run_message) {
    if (std::strlen(argument) > kMaxEntryLength) {
        set_run_message(run_message, "ERROR - parameter entry too long: %.*s...", kShownEntryPrefix, argument);
        return false;
    }
    const EntrySyntax syntax = check_entry_syntax(argument, false);
    if (syntax != EntrySyntax::kWellFormed) {
        set_command_line_syntax_message(run_message, syntax, argument);
        return false;
    }
    const Entry entry = split_entry(argument);
    const int name_length = static_cast<int>(entry.name_length);
    const int row = find_parameter(entry.name, entry.name_length);
    if (row < 0) {
        set_run_message(run_message, "ERROR - unrecognized parameter: %.*s", name_length, entry.name);
        return false;
    }
    if (run_settings.param_source[row] == kSourceCommandLine) {
        set_run_message(run_message, "ERROR - duplicate parameter found: %.*s", name_length, entry.name);
        return false;
    }
    if (entry.value_length > static_cast<size_t>(kMaxValueLength)) {
        set_run_message(run_message, "ERROR - parameter value longer than 256 characters: %s",
                        parameter_names[row]);
        return false;
    }
    store_value(row, entry, kSourceCommandLine);
    return true;
}

// Blanks, control characters, line ends and bytes of 128 and above are cut
// from the end of a configuration line.
void trim_line_end(char* line) {
    size_t length = std::strlen(line);
    while (length > 0) {
        const unsigned char last = static_cast<unsigned char>(line[length - 1]);
        if (last > 32 && last < 128) break;
        line[--length] = '\0';
    }
}

bool begins_with_letter(const char* line) {
    const char first = line[0];
    return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
}

// One piece of the configuration file; false after formatting its message.
bool take_file_line(char* line, const char* file_name, char* run_message) {
    if (!begins_with_letter(line)) return true;  // a comment
    trim_line_end(line);
    const EntrySyntax syntax = check_entry_syntax(line, true);
    if (syntax != EntrySyntax::kWellFormed) {
        set_file_syntax_message(run_message, syntax, file_name, line);
        return false;
    }
    const Entry entry = split_entry(line);
    const int name_length = static_cast<int>(entry.name_length);
    const int row = find_parameter(entry.name, entry.name_length);
    if (row < 0) {
        set_run_message(run_message, "ERROR - in %s, unrecognized parameter: %.*s", file_name, name_length,
                        entry.name);
        return false;
    }
    if (run_settings.param_source[row] == kSourceCommandLine) return true;  // the command line wins
    if (run_settings.param_source[row] == kSourceConfigFile) {
        set_run_message(run_message, "ERROR - in %s, duplicate parameter found: %.*s", file_name, name_length,
                        entry.name);
        return false;
    }
    if (entry.value_length > static_cast<size_t>(kMaxValueLength)) {
        set_run_message(run_message, "ERROR - in %s, parameter value longer than 256 characters: %s", file_name,
                        parameter_names[row]);
        return false;
    }
    store_value(row, entry, kSourceConfigFile);
    return true;
}

// Opens a configuration file for reading; a directory does not count as one.
FILE* open_config_file(const char* name) {
    FileHandle file(std::fopen(name, "r"));
    if (!file) return nullptr;
    struct stat status = {};
    if (fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode)) return nullptr;
    return file.release();
}

// Reads every piece of the file. After the first message no further line
// is judged, but the file is still read to its end.
void read_config_file(FILE* file, const char* file_name, char* run_message) {
    char line[kConfigPieceBuffer];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (run_message[0] != '\0') continue;
        take_file_line(line, file_name, run_message);
    }
    if (std::ferror(file) && run_message[0] == '\0') {
        set_run_message(run_message, "ERROR - Unable to read configuration file: %s", file_name);
    }
}

}  // namespace

bool parse_parameters(int argc, char** argv, char* run_message) {
    reset_run_settings();
    run_message[0] = '\0';

    for (int i = 1; i < argc; ++i) {
        if (!take_command_line_entry(argv[i], run_message)) break;
    }

    const bool config_given = run_settings.param_source[PARAM_CONFIG] == kSourceCommandLine;
    const char* file_name = config_given ? run_settings.param_text[PARAM_CONFIG] : kDefaultConfigFile;
    FileHandle file(open_config_file(file_name));
    if (!file) {
        if (config_given) {
            set_run_message(run_message, "ERROR - Unable to open CONFIG file: %s", file_name);
            return false;
        }
        return run_message[0] == '\0';  // no default file: the command line alone
    }
    read_config_file(file.get(), file_name, run_message);
    return run_message[0] == '\0';
}
