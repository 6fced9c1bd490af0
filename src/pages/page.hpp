// A project page of an index as plain C++ data: what the HTML and JSON forms
// carry, read without Python (the parsers know nothing of the interpreter).
// Text is UTF-8, entities and escapes decoded; URLs are absolute.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace pic::pages {

// The page cannot be read as a project page (broken JSON, an API version of a
// newer major, ...); the text says why.
class Unusable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the texts of a page live when they are not the page's own bytes
// (decoded, resolved): blocks that never move, freed with the page. Most
// texts of a page need no change and stay views of its body.
class Arena {
public:
    std::string_view keep(std::string_view text) {
        if (text.empty()) return {};
        if (text.size() > left_) grow(text.size());
        char* at = next_;
        std::memcpy(at, text.data(), text.size());
        next_ += text.size();
        left_ -= text.size();
        return {at, text.size()};
    }

private:
    void grow(std::size_t at_least) {
        std::size_t size = std::max<std::size_t>(at_least, 64 * 1024);
        blocks_.emplace_back(new char[size]);
        next_ = blocks_.back().get();
        left_ = size;
    }
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

// A text of the page: a view of its body or of its arena.
using Text = std::string_view;

// The hashes of one file, {name, hex digest} in the page's order; most files
// have one, kept inline.
class Hashes {
public:
    using Item = std::pair<Text, Text>;
    void add(Text name, Text value) {
        if (count_ < kInline) inline_[count_] = {name, value};
        else more_.emplace_back(name, value);
        ++count_;
    }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const Item& operator[](std::size_t i) const { return i < kInline ? inline_[i] : more_[i - kInline]; }

private:
    static constexpr std::size_t kInline = 2;
    Item inline_[kInline];
    std::vector<Item> more_;
    std::size_t count_ = 0;
};

// The core metadata announcement: none, "true" (no hash given) or hashes.
struct CoreMetadata {
    bool present = false;
    Hashes hashes;  // empty for "true"
};

// An RFC 3339 time, as written (the offset kept).
struct Timestamp {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, microsecond = 0;
    int offset_minutes = 0;  // east of UTC
};

struct File {
    Text filename;
    Text url;  // absolute, without its fragment
    std::optional<Text> version;  // from the filename; none when it names no file of this project
    Hashes hashes;
    std::optional<Text> requires_python;
    CoreMetadata core_metadata;
    bool yanked = false;
    std::optional<Text> yanked_reason;  // none when yanked without a reason
    std::optional<std::int64_t> size;
    std::optional<Timestamp> upload_time;
    std::optional<Text> provenance;  // absolute URL
    std::optional<bool> gpg_sig;
};

// Takes each file as soon as the parse has read it, while its bytes are
// still in the processor's cache; the file's texts live as long as the page.
class FileSink {
public:
    virtual void file(const File& file) = 0;
    // The files given so far are to be forgotten: they come again (an HTML
    // page whose <base> follows its first links).
    virtual void restart() = 0;

protected:
    ~FileSink() = default;
};

// The version list: as the page gives it (PEP 700), else from the files'
// names, first seen first.
class Versions {
public:
    void from_file(Text version) {
        if (!given_ && seen_.insert(version).second) list_.push_back(version);
    }
    void given(std::vector<Text> list) {
        list_ = std::move(list);
        given_ = true;
    }
    void restart() {
        if (given_) return;
        list_.clear();
        seen_.clear();
    }
    const std::vector<Text>& list() const { return list_; }

private:
    std::vector<Text> list_;
    std::unordered_set<Text> seen_;
    bool given_ = false;
};

enum class Format { html, json };

struct Page {
    Format format = Format::html;
    std::optional<Text> name;         // as the page gives it (JSON `name`)
    std::optional<Text> api_version;  // "1.1"; none when the page names none
    Versions versions;
    std::optional<Text> status;  // none: the page names none (active)
    std::optional<Text> status_reason;
    std::vector<Text> tracks;
    std::vector<Text> alternate_locations;
    Arena arena;
};

// The largest nesting of JSON arrays and objects a page may have.
constexpr int kMaxJsonDepth = 64;

// Both parsers: `body` the page's bytes (which the page's texts may view: it
// must outlive the page), `page_url` the URL it was read from, `project` the
// name asked for (its files' versions are read against it). The files go to
// `sink`. Throw Unusable.
Page parse_html(std::string_view body, std::string_view page_url, std::string_view project, FileSink& sink);
Page parse_json(std::string_view body, std::string_view page_url, std::string_view project, FileSink& sink);

// Whether `body` is one JSON object and nothing else, by the same strict
// reader as the JSON pages (RFC 8259, UTF-8, nesting bounded), without
// building it. A leading byte order mark is skipped, as for pages.
bool is_json_object(std::string_view body);

// A file the parse has read, to the sink: its version read from its name
// (`project` normalised), and added to the page's list.
void emit(Page& page, File& file, std::string_view project, FileSink& sink);

// api-version "MAJOR.MINOR": throws Unusable for a major above 1 or a text
// that is not two numbers.
void check_api_version(std::string_view version);

}  // namespace pic::pages
