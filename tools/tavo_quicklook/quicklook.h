// tavo_quicklook: browse pictures of TAVO products, a report page per day
// and a movie per passband of the day.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quicklook {

// --- Display tables (display_tables.cpp) -----------------------------------

enum class Stretch { linear, sqrt, log };

// The 256-entry curves from which the colour tables are composed: the ramps
// c0 to c3 and the three channels r0, g0, b0 of the "red temperature" table.
enum class Curve { c0, c1, c2, c3, r0, g0, b0 };

// How one passband is shown. Entries follow aperture_positions.
struct PassbandDisplay {
    const char* table_name;  // the colour table's name, as the page shows it
    Curve red, green, blue;
    Stretch stretch;
    double low, high;        // fixed range of the exposure-normalised image, DN/s
};

using ColourTable = std::array<uint8_t, 256 * 3>;  // r, g, b of each index

// The display of a wavelength (Angstrom), or nullptr when no aperture has it.
const PassbandDisplay* find_passband_display(int wavelength);
double curve_value(Curve curve, int index);  // 0 to 255
ColourTable colour_table(const PassbandDisplay& display);
ColourTable grey_table();

// Darks and frames that cannot be normalised: a linear stretch between these
// percentiles of the frame's own values.
constexpr double kLowPercentile = 1.0;
constexpr double kHighPercentile = 99.0;

// --- Scaling (picture.cpp) --------------------------------------------------

struct Scaling {
    Stretch stretch = Stretch::linear;
    double low = 0, high = 1;  // range in the units of value / divisor
    double divisor = 1;        // the exposure time, or 1 when not normalised
};

// The colour index (0 to 255) of one pixel value.
uint8_t scale_pixel(const Scaling& scaling, double value);

// The value at a percentile (0 to 100) of the pixels, from their histogram.
int16_t percentile_value(const std::vector<int16_t>& pixels, double percentile);

// --- Products (product.cpp) -------------------------------------------------

// The header values the page's table shows, besides time and name.
constexpr int kTableColumnCount = 12;
extern const char* const kTableColumns[kTableColumnCount];

struct ProductInfo {
    std::string path;           // the FITS file
    std::string name;           // its file name without ".fits"
    std::string time_text;      // IMG_TIME, "YYYY-MM-DD hh:mm:ss.mmm"
    double time = 0;            // IMG_TIME as seconds from the start of its day
    int nx = 0, ny = 0;
    int wavelength = -1;        // WAVELNTH
    double exposure = 0;        // EXPTIME, seconds
    bool dark = false;          // FRAMETYPE 'DARK'
    long despike_count = 0;     // DESPIKE
    std::string despike_params; // DESPIKE_PARAMS
    std::vector<std::string> columns;  // values of kTableColumns, quotes removed
};

// Reads the header values and, when pixels is not null, the image (row 0
// first). False with a message when the file is no readable product.
bool read_product(const std::string& path, ProductInfo& info, std::vector<int16_t>* pixels, std::string& error);

// --- Pictures (picture.cpp) -------------------------------------------------

constexpr int kThumbnailSide = 256;

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> index;  // colour indexes, top row first
    ColourTable colours{};
};

struct PictureSet {
    Picture full, thumbnail;
    Scaling scaling;
    std::string scaling_text;   // "log 90 to 12000 DN/s, AIA 193 colours"
};

// The full picture and the thumbnail of a product's image, with row 0 of
// the data at the bottom.
void make_pictures(const ProductInfo& info, const std::vector<int16_t>& pixels, PictureSet& set);

// PNG text chunks of a product's pictures.
std::vector<std::pair<std::string, std::string>> picture_text(const ProductInfo& info, const PictureSet& set);

// Writes an 8-bit palette PNG with the text chunks. False with a message.
// compress false stores the rows as they are: four to six times faster for
// a full-frame picture, at about twice the file size.
bool write_png(const std::string& path, const Picture& picture,
               const std::vector<std::pair<std::string, std::string>>& text, std::string& error,
               bool compress = true);

// A frame standing for a missing image: dark grey, a red border and cross.
Picture placeholder_picture(int width, int height);

// --- The day (day.cpp) --------------------------------------------------------

// One missing image on the timeline.
struct Gap {
    int wavelength = -1;   // the row; -1 when the passband is unknown
    double time = -1;      // seconds from the start of the day; < 0 unknown
    std::string reason;    // the audit's code, empty when it did not name the image
    std::string text;      // what the page shows on hover
};

struct AuditImage {
    std::string time_text;  // "YYYY-MM-DDThh:mm:ss.mmm", empty when unknown
    int wavelength = -1;
    std::string reason, reason_text;
};

// Image ids absent from the level-0, between the times of their neighbours.
struct AbsentImages {
    uint32_t first_id = 0, last_id = 0;
    std::string after_time, before_time;  // "YYYY-MM-DDThh:mm:ss.mmm"
};

struct Audit {
    std::string path;
    std::string window_start, window_end;  // "YYYY-MM-DDThh:mm:ss"
    std::vector<AuditImage> not_written;
    std::vector<AbsentImages> absent;      // from schema 2 on
};

// Reads the not-written and absent images of an audit report (schema 1 or
// 2). False with a message.
bool read_audit(const std::string& path, Audit& audit, std::string& error);

// The newest audit report under root + "KITE-nn/audit/" whose window holds
// the day (YYYYMMDD), or "" when there is none.
std::string find_day_audit(const std::string& root, int kite, uint32_t day);

// The expected interval between images of one passband: the median of the
// intervals between its products (sorted by time), or 0 with fewer than 3.
double expected_cadence(const std::vector<double>& times);
// An interval this many cadences long holds a missing image.
constexpr double kGapFactor = 1.5;

// The gaps of the day: missing slots of each passband's cadence, and, when
// an audit is given, one gap per image it did not write (on the slot it
// explains, or on its own).
std::vector<Gap> find_gaps(const std::vector<ProductInfo>& products, const Audit* audit, uint32_t day);

// "YYYY" separator "MM" separator "DD" of a day YYYYMMDD; "KITE-nn".
std::string day_text(uint32_t day, const char* separator);
std::string kite_name(int kite);

// The products of a day under root + "KITE-nn/YYYY/MM/DD/Hhh00/", by name.
std::vector<std::string> list_day_products(const std::string& root, int kite, uint32_t day);

// --- The page (page.cpp) ---------------------------------------------------

struct DayPage {
    uint32_t day = 0;            // YYYYMMDD
    int kite = 0;
    std::vector<ProductInfo> products;     // sorted by time
    std::vector<std::string> scaling;      // scaling text of each product
    std::vector<Gap> gaps;
    std::string audit_link;                // relative links from the page, "" when absent
    std::string csv_link;
    std::vector<std::string> log_links;
    std::vector<std::pair<int, std::string>> movies;  // wavelength, relative link
    std::vector<std::string> unreadable;   // messages of products that could not be read
    std::string movie_note;                // why there are no movies, "" when there are
};

// The static HTML of the day: timeline, thumbnails per passband, the table.
std::string day_page_html(const DayPage& page);

// --- Movies (movie.cpp) -----------------------------------------------------

// The ffmpeg program found on PATH, or "".
std::string find_ffmpeg();

// Writes an MP4 movie of frames (PNG files, in order) with ffmpeg. False
// with a message.
bool write_movie(const std::string& ffmpeg, const std::vector<std::string>& frames, const std::string& movie,
                 std::string& error);

// --- Runs (run.cpp) -----------------------------------------------------------

struct Options {
    std::string root;                 // product tree root (OUTPUT_ROOT_DIRECTORY)
    int kite = 0;
    uint32_t first_day = 0, last_day = 0;  // YYYYMMDD
    std::string out;                  // output directory ("" : the default)
    std::string audit;                // audit report ("" : the day's, when found)
    std::vector<std::string> files;   // products given by name
    bool movies = true;
    std::string ffmpeg;               // "" : found on PATH
    int jobs = 1;                     // threads making pictures
    bool new_only = false;            // day pages: draw only products without up-to-date pictures
};

// Pictures, page and movies of every day of the options, or pictures of the
// products given by name. Returns the exit status; messages go to stderr,
// the pages' paths to stdout.
int run_quicklook(const Options& options);

// Options from TAVO_L0's parameters (configuration file and PARAM=value
// overrides): OUTPUT_ROOT_DIRECTORY, KITE, START and END. False with a message.
bool options_from_parameters(const std::vector<std::string>& parameters, Options& options, std::string& error);

// "YYYY-MM-DD" or "YYYY/MM/DD" as YYYYMMDD; 0 when not a valid date.
uint32_t parse_day(const std::string& text);

}  // namespace quicklook
