// The day's report page: static HTML that opens from the file system. The
// timeline and the thumbnail grids are plain markup (thumbnails load
// lazily); the product table is built from embedded JSON only when opened.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "quicklook.h"
#include "text.h"

namespace quicklook {
namespace {

constexpr double kSecondsPerHour = 3600.0;
constexpr int kShownThumbnailSide = 128;  // CSS pixels; the files have twice that
constexpr size_t kThumbnailsPerRow = 8;   // for the height a grid reserves before it is laid out

constexpr char kStyle[] = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;background:#111;color:#ddd}
a{color:#8cf}h1{font-size:1.4em;margin:0 0 .3em}h2{font-size:1.15em;margin:1.2em 0 .4em}
.links span{margin-right:1.2em}
.timeline{margin:.5em 0;max-width:1200px}
.row{display:flex;align-items:center;height:22px}
.row .label{width:6em;flex:none;text-align:right;padding-right:.6em}
.track{position:relative;flex:1;height:14px;background:#333}
.run{position:absolute;top:0;height:14px;background:#4a8;min-width:1px}
.gap{position:absolute;top:-3px;height:20px;width:3px;margin-left:-1px;background:#e33;cursor:help}
.gap.explained{background:#f90}
.axis{position:relative;height:1.4em;margin-left:6.6em;font-size:12px;color:#999}
.axis span{position:absolute;transform:translateX(-50%)}
.grid{display:flex;flex-wrap:wrap;gap:4px;content-visibility:auto}
h3{font-size:12px;color:#999;margin:.6em 0 .2em}
.thumb{display:block;text-align:center;font-size:11px;color:#aaa;text-decoration:none}
.thumb img{display:block;background:#222}
.thumb.dark span{color:#fc6}
.overview{display:flex;flex-wrap:wrap;gap:10px}.overview .thumb{width:180px;font-size:12px}
table{border-collapse:collapse;font-size:12px}
th,td{padding:2px 6px;border-bottom:1px solid #333;text-align:left;white-space:nowrap}
th{cursor:pointer;background:#222;position:sticky;top:0}
.note{color:#fc6}
)";

// Loads the thumbnails of the grids near the view (browsers do not defer
// loading="lazy" images of pages opened from files), and builds, sorts and
// renders the product table when it is opened.
constexpr char kScript[] = R"(
(function(){
  var grids=[].slice.call(document.querySelectorAll('.grid'));
  function show(g){[].forEach.call(g.querySelectorAll('img[data-src]:not([src])'),function(i){i.src=i.getAttribute('data-src');});}
  if('IntersectionObserver' in window){
    var io=new IntersectionObserver(function(es){es.forEach(function(e){if(e.isIntersecting){show(e.target);io.unobserve(e.target);}});},{rootMargin:'800px'});
    grids.forEach(function(g){io.observe(g);});
  } else grids.forEach(show);

  var table=document.getElementById('product-table'), details=document.getElementById('products');
  var columns, rows, key=0, up=true;
  function esc(s){return String(s).replace(/[&<>"]/g,function(c){return {'&':'&amp;','<':'&lt;','>':'&gt;','"':'&quot;'}[c];});}
  function value(r,i){var v=r[i],n=parseFloat(v);return (v!==''&&isFinite(n)&&/^[-+0-9. eE]+$/.test(v))?n:v;}
  function render(){
    var head='<tr>'+columns.map(function(c,i){return '<th data-i="'+i+'">'+esc(c)+(i===key?(up?' \u25b2':' \u25bc'):'')+'</th>';}).join('')+'</tr>';
    var body=rows.map(function(r){return '<tr><td><a href="png/'+esc(r[0])+'.png">'+esc(r[0])+'</a></td>'+
      r.slice(1).map(function(v){return '<td>'+esc(v)+'</td>';}).join('')+'</tr>';}).join('');
    table.innerHTML='<thead>'+head+'</thead><tbody>'+body+'</tbody>';
  }
  table.addEventListener('click',function(e){
    var th=e.target.closest('th'); if(!th) return;
    var i=+th.getAttribute('data-i'); up=(i===key)?!up:true; key=i;
    rows.sort(function(a,b){var x=value(a,i),y=value(b,i),c=(x<y)?-1:(x>y)?1:0;return up?c:-c;});
    render();
  });
  function build(){
    if(!details.open||rows) return;
    var data=JSON.parse(document.getElementById('product-data').textContent);
    columns=data.columns; rows=data.rows; render();
  }
  if(location.hash==='#products') details.open=true;
  details.addEventListener('toggle',build); build();
})();
)";

using tavo_tools::escape_html;

// A JSON string; "<" is escaped so that no text can close the script element.
void append_json_string(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == '<') {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

std::string percent(double value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.3f%%", value);
    return text;
}

std::string row_label(int wavelength) {
    return wavelength > 0 ? std::to_string(wavelength) + " &#8491;" : "unknown";
}

// The hours that the products and gaps span.
void time_axis(const DayPage& page, double& start, double& end) {
    double first = 1e9, last = -1e9;
    for (const ProductInfo& p : page.products) first = std::min(first, p.time), last = std::max(last, p.time);
    for (const Gap& g : page.gaps) {
        if (g.time >= 0) first = std::min(first, g.time), last = std::max(last, g.time);
    }
    if (first > last) first = last = 0;
    start = std::floor(first / kSecondsPerHour) * kSecondsPerHour;
    end = std::max(start + kSecondsPerHour, std::ceil((last + 1) / kSecondsPerHour) * kSecondsPerHour);
}

// Runs of products: index ranges [first, last] of sorted times in which
// no step is as long as a gap.
std::vector<std::pair<size_t, size_t>> product_runs(const std::vector<double>& times, double cadence) {
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t i = 0; i < times.size();) {
        size_t j = i;
        while (j + 1 < times.size() && cadence > 0 && times[j + 1] - times[j] < kGapFactor * cadence) ++j;
        runs.emplace_back(i, j);
        i = j + 1;
    }
    return runs;
}

// The images not written: those without a time, then the whole list.
void append_missing_list(std::string& html, const DayPage& page) {
    // Images whose time the audit does not know have no place on the axis.
    size_t unplaced = 0;
    for (const Gap& g : page.gaps) unplaced += g.time < 0 ? 1 : 0;
    if (unplaced > 0) {
        html += "<p>Not written, time unknown:";
        for (const Gap& g : page.gaps) {
            if (g.time < 0) {
                html += " <span class=\"gap-unplaced\" data-reason=\"" + escape_html(g.reason) + "\" title=\"" +
                        escape_html(g.text) + "\">&#9632;</span>";
            }
        }
        html += "</p>\n";
    }
    html += "<details><summary>" + std::to_string(page.gaps.size()) + " missing image" +
            (page.gaps.size() == 1 ? "" : "s") + (page.audit_link.empty() ? " (from the cadence; no audit report)"
                                                                         : " (cadence and audit report)") +
            "</summary><ul>";
    for (const Gap& g : page.gaps) html += "<li>" + escape_html(g.text) + "</li>";
    html += "</ul></details></section>\n";
}

void append_timeline(std::string& html, const DayPage& page) {
    double start = 0, end = 0;
    time_axis(page, start, end);
    const double span = end - start;
    auto position = [&](double t) { return percent(std::clamp((t - start) / span * 100.0, 0.0, 100.0)); };

    std::map<int, std::vector<double>> times;
    for (const ProductInfo& p : page.products) times[p.wavelength].push_back(p.time);
    std::map<int, std::vector<const Gap*>> gaps;
    for (const Gap& g : page.gaps) gaps[g.wavelength].push_back(&g);
    std::set<int> rows;
    for (const auto& [w, list] : times) rows.insert(w);
    for (const auto& [w, list] : gaps) rows.insert(w);

    html += "<section><h2>Completeness</h2><div class=\"timeline\">\n<div class=\"axis\">";
    const int hours = static_cast<int>(span / kSecondsPerHour);
    const int step = hours > 12 ? 3 : 1;
    for (int h = 0; h <= hours; h += step) {
        const int clock = static_cast<int>(start / kSecondsPerHour) + h;
        char label[8];
        std::snprintf(label, sizeof label, "%02d:00", clock);
        html += "<span style=\"left:" + percent(h * kSecondsPerHour / span * 100.0) + "\">" + label + "</span>";
    }
    html += "</div>\n";
    for (int w : rows) {
        html += "<div class=\"row\" data-wavelength=\"" + std::to_string(w) + "\"><span class=\"label\">" +
                row_label(w) + "</span><div class=\"track\">";
        std::vector<double>& list = times[w];
        std::sort(list.begin(), list.end());
        const double cadence = expected_cadence(list);
        const double half = cadence > 0 ? cadence / 2 : span / 2000;
        for (const auto& [i, j] : product_runs(list, cadence)) {
            const double a = std::max(start, list[i] - half), b = std::min(end, list[j] + half);
            html += "<div class=\"run\" style=\"left:" + position(a) + ";width:" + percent((b - a) / span * 100.0) +
                    "\"></div>";
        }
        for (const Gap* g : gaps[w]) {
            if (g->time < 0) continue;
            html += "<div class=\"gap" + std::string(g->reason.empty() ? "" : " explained") + "\" style=\"left:" +
                    position(g->time) + "\" data-reason=\"" + escape_html(g->reason) + "\" title=\"" + escape_html(g->text) +
                    "\"></div>";
        }
        html += "</div></div>\n";
    }
    html += "</div>\n";
    append_missing_list(html, page);
}

// One light picture of each passband, the one nearest the middle of the
// passband's day, with its scaling.
void append_overview(std::string& html, const DayPage& page) {
    std::map<int, std::vector<size_t>> light;
    for (size_t i = 0; i < page.products.size(); ++i) {
        if (!page.products[i].dark) light[page.products[i].wavelength].push_back(i);
    }
    if (light.empty()) return;
    html += "<section><h2>Passbands</h2><div class=\"overview\">\n";
    for (const auto& [w, list] : light) {
        const ProductInfo& p = page.products[list[list.size() / 2]];
        const std::string name = escape_html(p.name);
        html += "<a class=\"thumb\" href=\"png/" + name + ".png\" title=\"" + name + ".fits\"><img src=\"thumb/" +
                name + ".png\" width=\"180\" alt=\"" + row_label(w) + "\"><span>" + row_label(w) + " &middot; " +
                escape_html(p.time_text.substr(11, 8)) + "<br>" + escape_html(page.scaling[list[list.size() / 2]]) +
                "</span></a>\n";
    }
    html += "</div></section>\n";
}

// Thumbnails in one grid per passband and hour: the browser lays out and
// loads only the grids near the view.
void append_grids(std::string& html, const DayPage& page) {
    std::map<int, std::map<int, std::vector<size_t>>> by_band;  // passband, hour, products
    std::map<int, size_t> band_count;
    for (size_t i = 0; i < page.products.size(); ++i) {
        const ProductInfo& p = page.products[i];
        by_band[p.wavelength][static_cast<int>(p.time / kSecondsPerHour)].push_back(i);
        ++band_count[p.wavelength];
    }
    for (const auto& [w, hours] : by_band) {
        html += "<section><h2>" + row_label(w) + " &middot; " + std::to_string(band_count[w]) + " product" +
                (band_count[w] == 1 ? "" : "s") + "</h2>\n";
        for (const auto& [hour, list] : hours) {
            char label[8];
            std::snprintf(label, sizeof label, "%02d:00", hour);
            const size_t rows = (list.size() + kThumbnailsPerRow - 1) / kThumbnailsPerRow;
            html += "<h3>" + std::string(label) + "</h3><div class=\"grid\" style=\"contain-intrinsic-size:auto " +
                    std::to_string(rows * (kShownThumbnailSide + 22)) + "px\">\n";
            for (size_t i : list) {
                const ProductInfo& p = page.products[i];
                const int longer = std::max(p.nx, p.ny);
                const int side = std::min(longer, kShownThumbnailSide);
                const int w_css = std::max(1, p.nx * side / std::max(longer, 1));
                const int h_css = std::max(1, p.ny * side / std::max(longer, 1));
                const std::string name = escape_html(p.name);
                html += "<a class=\"thumb" + std::string(p.dark ? " dark" : "") + "\" href=\"png/" + name +
                        ".png\" title=\"" + name + ".fits &#10;" + escape_html(page.scaling[i]) + "\"><img data-src=\"thumb/" +
                        name + ".png\" loading=\"lazy\" width=\"" + std::to_string(w_css) + "\" height=\"" +
                        std::to_string(h_css) + "\" alt=\"" + name + "\"><span>" + escape_html(p.time_text.substr(11, 8)) +
                        (p.dark ? " dark" : "") + "</span></a>\n";
            }
            html += "</div>\n";
        }
        html += "</section>\n";
    }
}

void append_table(std::string& html, const DayPage& page) {
    html += "<section><h2>Products</h2><details id=\"products\"><summary>Table of " +
            std::to_string(page.products.size()) +
            " products (click a heading to sort)</summary><table id=\"product-table\"></table></details>"
            "</section>\n<script type=\"application/json\" id=\"product-data\">{\"columns\":[\"product\",\"IMG_TIME\"";
    for (const char* column : kTableColumns) {
        html += ',';
        append_json_string(html, column);
    }
    html += "],\"rows\":[";
    for (size_t i = 0; i < page.products.size(); ++i) {
        const ProductInfo& p = page.products[i];
        html += i ? ",\n[" : "\n[";
        append_json_string(html, p.name);
        html += ',';
        append_json_string(html, p.time_text);
        for (const std::string& value : p.columns) {
            html += ',';
            append_json_string(html, value);
        }
        html += ']';
    }
    html += "]}</script>\n";
}

}  // namespace

std::string day_page_html(const DayPage& page) {
    std::string html;
    html.reserve(page.products.size() * 700 + 16384);
    const std::string title = "TAVO " + kite_name(page.kite) + " " + day_text(page.day, "-");
    html += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + title +
            "</title><link rel=\"icon\" href=\"data:,\"><style>" + kStyle + "</style></head><body>\n";
    html += "<h1>" + title + " &middot; " + std::to_string(page.products.size()) + " products</h1>\n<p class=\"links\">";
    html += page.csv_link.empty() ? "<span>CSV table: none</span>"
                                  : "<span>CSV table: <a href=\"" + escape_html(page.csv_link) + "\">" +
                                        escape_html(page.csv_link.substr(page.csv_link.find_last_of('/') + 1)) + "</a></span>";
    html += "<span>Log:";
    if (page.log_links.empty()) html += " none";
    for (const std::string& link : page.log_links) {
        html += " <a href=\"" + escape_html(link) + "\">" + escape_html(link.substr(link.find_last_of('/') + 1)) + "</a>";
    }
    html += "</span>";
    html += page.audit_link.empty() ? "<span>Audit report: none found</span>"
                                    : "<span>Audit report: <a href=\"" + escape_html(page.audit_link) + "\">" +
                                          escape_html(page.audit_link.substr(page.audit_link.find_last_of('/') + 1)) +
                                          "</a></span>";
    html += "<span>Movies:";
    for (const auto& [w, link] : page.movies) {
        html += " <a href=\"" + escape_html(link) + "\">" + std::to_string(w) + " &#8491;</a>";
    }
    if (!page.movie_note.empty()) html += " <span class=\"note\">" + escape_html(page.movie_note) + "</span>";
    html += "</span></p>\n";
    if (!page.unreadable.empty()) {
        html += "<p class=\"note\">Products that could not be read:</p><ul class=\"note\">";
        for (const std::string& message : page.unreadable) html += "<li>" + escape_html(message) + "</li>";
        html += "</ul>\n";
    }
    append_overview(html, page);
    append_timeline(html, page);
    append_grids(html, page);
    append_table(html, page);
    html += "<script>";
    html += kScript;
    html += "</script>\n</body></html>\n";
    return html;
}

}  // namespace quicklook
