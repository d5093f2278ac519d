// A locale such as a host program may set with setlocale(LC_ALL, ""),
// compiled for one test from the system's locale sources (localedef into a
// scratch folder that LOCPATH then names), so that nothing need be installed
// system-wide. setlocale is process-wide: use() makes the locale current,
// and the C locale (with LOCPATH as it was) comes back with restore() or the
// destructor.
//
//     zv_test::HostLocale german("de_DE", "UTF-8");
//     if (!german.missing().empty()) GTEST_SKIP() << german.missing();
//     ASSERT_TRUE(german.use());
#ifndef ZV_TESTS_SUPPORT_HOST_LOCALE_H
#define ZV_TESTS_SUPPORT_HOST_LOCALE_H

#include <string>

#include "support/temp_dir.h"

namespace zv_test {

class HostLocale {
public:
    // source: a file of /usr/share/i18n/locales (tr_TR); charmap: one of
    // /usr/share/i18n/charmaps (ISO-8859-9, UTF-8).
    HostLocale(const std::string &source, const std::string &charmap);
    ~HostLocale();
    HostLocale(const HostLocale &) = delete;
    HostLocale &operator=(const HostLocale &) = delete;

    // Empty when the locale was made; otherwise why not, for GTEST_SKIP.
    const std::string &missing() const { return missing_; }
    // The locale's name, such as tr_TR.ISO-8859-9.
    const std::string &name() const { return name_; }
    // Makes it the process's locale (every category); false if setlocale
    // refuses it.
    bool use();
    // Back to the C locale.
    void restore();

private:
    TempDir dir_;
    std::string name_;
    std::string missing_;
    bool in_use_ = false;
    bool had_locpath_ = false;
    std::string old_locpath_;
};

}  // namespace zv_test

#endif
