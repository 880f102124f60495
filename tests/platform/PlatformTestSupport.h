// Helpers for the platform tests: temporary folders, files, locales, time zones.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace qm::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        for (int i = 0; i < 100; ++i) {
            path_ = fs::temp_directory_path() / ("qm-platform-" + std::to_string(rd()));
            if (fs::create_directory(path_)) return;
        }
        throw std::runtime_error("no temporary folder");
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    // Names of the entries in the folder, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

inline void WriteFile(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

inline void WriteText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::vector<std::uint8_t> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Bytes that differ at every position, so misplaced reads show.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return v;
}

inline bool IsRoot() {
#if defined(_WIN32)
    return false;
#else
    return ::geteuid() == 0;
#endif
}

#if !defined(_WIN32)
// Switches `category` to the locale `name` for the life of the object. When
// the system lacks the locale it is compiled from the system's locale sources
// into a folder of the build tree (once), when those are installed.
class ScopedLocale {
public:
    ScopedLocale(int category, const std::string& name) : category_(category) {
        if (const char* old = std::setlocale(category, nullptr)) old_ = old;
        // Compiled before the first attempt: the C library remembers failures.
        if (!SystemHas(name)) Compile(name);
        ok_ = std::setlocale(category, name.c_str()) != nullptr;
    }
    ~ScopedLocale() { std::setlocale(category_, old_.c_str()); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool ok() const { return ok_; }

private:
    // "de_DE.UTF-8" and "de_DE.utf8" name the same locale.
    static std::string Normalized(const std::string& name) {
        std::string out;
        for (char c : name)
            if (c != '-' && c != '_')
                out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    }
    static bool SystemHas(const std::string& name) {
        if (name == "C" || name == "POSIX") return true;
        static const std::vector<std::string> installed = [] {
            std::vector<std::string> names;
            if (FILE* p = ::popen("locale -a 2>/dev/null", "r")) {
                char line[256];
                while (std::fgets(line, sizeof line, p)) {
                    std::string s(line);
                    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
                    names.push_back(Normalized(s));
                }
                ::pclose(p);
            }
            return names;
        }();
        return std::find(installed.begin(), installed.end(), Normalized(name)) != installed.end();
    }
    static bool Compile(const std::string& name) {
#if defined(QM_TEST_LOCALE_DIR)
        const auto dot = name.find('.');
        if (dot == std::string::npos) return false;
        const std::string lang = name.substr(0, dot), charset = name.substr(dot + 1);
        if (!fs::exists("/usr/share/i18n/locales/" + lang) || !fs::exists("/usr/bin/localedef"))
            return false;
        const fs::path dir = QM_TEST_LOCALE_DIR;
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!fs::exists(dir / name)) {
            // Built under a private name, then renamed: tests may run side by side.
            const fs::path tmp = dir / (name + ".tmp" + std::to_string(::getpid()));
            const std::string cmd = "localedef -i " + lang + " -f " + charset + " '" +
                                    tmp.string() + "' >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0 && !fs::exists(tmp / "LC_CTYPE")) {
                fs::remove_all(tmp, ec);
                return false;
            }
            fs::rename(tmp, dir / name, ec);
            if (ec) fs::remove_all(tmp, ec);
        }
        ::setenv("LOCPATH", dir.c_str(), 1);
        return true;
#else
        (void)name;
        return false;
#endif
    }

    int category_;
    std::string old_;
    bool ok_ = false;
};

// Sets TZ for the life of the object: the zone's name when the system has its
// rules, else the equivalent POSIX rule text.
class ScopedTimeZone {
public:
    ScopedTimeZone(const std::string& zone, const std::string& posixRule) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        const bool haveZone = fs::exists("/usr/share/zoneinfo/" + zone);
        ::setenv("TZ", haveZone ? zone.c_str() : posixRule.c_str(), 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> old_;
};
#endif

}  // namespace qm::test
