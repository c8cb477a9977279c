// The companions' command line wrapper and exit statuses.
#include "command_line.h"

#include <cstdio>

#include "driver/driver.h"
#include "output_file.h"

namespace tavo_tools {

int parse_command_line(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e) == 0 ? kExitSuccess : kExitBadInput;
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e) == 0 ? kExitSuccess : kExitBadInput;
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e) == 0 ? kExitSuccess : kExitBadInput;
    } catch (const CLI::ParseError& e) {
        const std::string program = app.get_name();
        return report_failure(program, std::string(e.what()) + " (see " + program + " --help)", kExitBadInput);
    }
}

int report_failure(const std::string& program, const std::string& message, int status) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), printable(message).c_str());
    return status;
}

bool parse_kite(const std::string& text, int& kite, std::string& error) {
    int32_t number = 0;
    if (parse_satellite(text.c_str(), number)) {
        kite = number;
        return true;
    }
    std::string message(static_cast<size_t>(std::snprintf(nullptr, 0, TAVO_SATELLITE_RANGE_FORMAT, text.c_str())), ' ');
    std::snprintf(message.data(), message.size() + 1, TAVO_SATELLITE_RANGE_FORMAT, text.c_str());
    error = message;
    return false;
}

}  // namespace tavo_tools
