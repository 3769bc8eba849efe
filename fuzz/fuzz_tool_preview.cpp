// The tool's `parse --extract` and `parse --html` on arbitrary PDUs. Checks:
// nothing is written outside the output folders and nothing is left in
// their parent (no staging folder); the folders hold plain files only, every
// name a plain file name; the page runs nothing and shows no unescaped text:
// every tag and attribute is one the preview writes, every link and source
// is a file beside the page, every '&' begins a character reference.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rorodire_files.h"
#include "rorodire_parse.h"

namespace {

std::string root_dir() { return fuzz_scratch_dir("fuzz_preview_"); }

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> v;
    if (DIR *d = opendir(dir.c_str())) {
        for (dirent *e; (e = readdir(d));)
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) v.push_back(e->d_name);
        closedir(d);
    }
    return v;
}

// A folder of plain files only; removed after the check. Its file names.
std::set<std::string> take_folder(const std::string &dir) {
    std::set<std::string> names;
    for (const std::string &n : entries(dir)) {
        struct stat st;
        if (n.find('/') != std::string::npos || n.size() > 255 || lstat((dir + "/" + n).c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            std::abort();
        names.insert(n);
    }
    return names;
}

void remove_folder(const std::string &dir) {
    for (const std::string &n : entries(dir)) unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}

std::string slurp(const std::string &path) {
    std::string s;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

bool one_of(const std::string &s, std::initializer_list<const char *> list) {
    for (const char *x : list)
        if (s == x) return true;
    return false;
}

// One tag's attributes: known names, double-quoted values without '<';
// sources and links name a file of the folder.
void check_attributes(const std::string &tag, const std::set<std::string> &files) {
    size_t i = 0;
    while (i < tag.size()) {
        while (i < tag.size() && tag[i] == ' ') ++i;
        if (i >= tag.size()) return;
        const size_t nameEnd = tag.find_first_of("= ", i);
        const std::string name = tag.substr(i, nameEnd - i);
        if (!one_of(name, {"charset", "http-equiv", "content", "name", "class", "style", "src", "alt", "controls",
                           "playsinline", "preload", "href", "download"}))
            std::abort();
        if (nameEnd == std::string::npos || tag[nameEnd] == ' ') {
            i = nameEnd;
            continue;
        }
        if (tag.compare(nameEnd, 2, "=\"") != 0) std::abort();
        const size_t valueEnd = tag.find('"', nameEnd + 2);
        if (valueEnd == std::string::npos) std::abort();
        const std::string value = tag.substr(nameEnd + 2, valueEnd - nameEnd - 2);
        if (value.find('<') != std::string::npos) std::abort();
        if ((name == "src" || name == "href") && !files.count(value)) std::abort();
        i = valueEnd + 1;
    }
}

void check_page(const std::string &page, const std::set<std::string> &files) {
    size_t i = 0;
    while (i < page.size()) {
        const char c = page[i];
        if (c == '>') std::abort();  // text holds no bare '>'
        if (c == '&') {
            const size_t semi = page.find(';', i);
            if (semi == std::string::npos ||
                !one_of(page.substr(i, semi - i + 1), {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"}))
                std::abort();
        }
        if (c != '<') {
            ++i;
            continue;
        }
        const size_t end = page.find('>', i);
        if (end == std::string::npos) std::abort();
        std::string tag = page.substr(i + 1, end - i - 1);
        const bool closing = !tag.empty() && tag[0] == '/';
        if (closing) tag.erase(0, 1);
        const size_t sp = tag.find(' ');
        const std::string name = tag.substr(0, sp);
        if (name == "!DOCTYPE" && tag == "!DOCTYPE html") {
            i = end + 1;
            continue;
        }
        if (!one_of(name, {"html", "head", "meta", "title", "style", "body", "main", "header", "h1", "h2", "dl", "dt",
                           "dd", "p", "section", "div", "img", "video", "audio", "ul", "li", "a"}))
            std::abort();
        if (sp != std::string::npos) check_attributes(tag.substr(sp + 1), files);
        i = end + 1;
        if (name == "style" && !closing) {  // the page's own style sheet
            i = page.find("</style>", i);
            if (i == std::string::npos) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    const std::vector<uint8_t> bytes(input.data(), input.data() + input.size());
    const std::string work = root_dir() + "/work";
    if (mkdir(work.c_str(), 0700) != 0) std::abort();
    {
        rrtool::ParsedMessage m;
        if (rrtool::load_message("fuzz.mms", bytes, &m).empty()) {
            std::vector<std::string> written;
            std::string why;
            const bool extracted = rrtool::extract_items(work + "/x", m, false, &written, &why);
            const bool previewed = rrtool::preview_message(work + "/h", "<fuzz & \"x\">.mms", m, false, &why);
            const std::set<std::string> x = take_folder(work + "/x"), h = take_folder(work + "/h");
            if (extracted && x != std::set<std::string>(written.begin(), written.end())) std::abort();
            // Extracted names read as they are: no bidirectional controls, no leading "-" or ".".
            for (const std::string &n : written)
                if (n.empty() || n[0] == '-' || n[0] == '.' || n.find("\xE2\x80\xAE") != std::string::npos ||
                    n.find("\xE2\x81\xA6") != std::string::npos || n.find("\xD8\x9C") != std::string::npos)
                    std::abort();
            if (previewed != h.count("index.html")) std::abort();
            if (previewed) check_page(slurp(work + "/h/index.html"), h);
            remove_folder(work + "/x");
            remove_folder(work + "/h");
        }
    }
    if (!entries(work).empty() || entries(root_dir()).size() != 1) std::abort();  // something was left behind
    rmdir(work.c_str());
    return 0;
}
