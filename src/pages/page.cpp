#include "pages/page.hpp"

#include "pages/filename.hpp"
#include "pages/text.hpp"

namespace pic::pages {

void emit(Page& page, File& file, std::string_view project, FileSink& sink) {
    file.version = version_from_filename(file.filename, project);
    if (file.version) page.versions.from_file(*file.version);
    sink.file(file);
}

void check_api_version(std::string_view version) {
    std::size_t dot = version.find('.');
    auto number = [](std::string_view digits) {
        if (digits.empty() || digits.size() > 9) return -1L;
        long n = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return -1L;
            n = n * 10 + (c - '0');
        }
        return n;
    };
    long major = number(version.substr(0, dot));
    long minor = dot == std::string_view::npos ? -1 : number(version.substr(dot + 1));
    const std::string shown(version.substr(0, 40));
    if (major < 0 || minor < 0) throw Unusable("the page's API version '" + shown + "' is not MAJOR.MINOR");
    if (major > 1) throw Unusable("the page's API version " + shown + " has a major version above 1, the newest this reader knows");
}

}  // namespace pic::pages
