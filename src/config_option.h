#pragma once

#include <optional>
#include <string>

#include <cpl_conv.h>

// One of GDAL's configuration options, set for as long as the object lives and then as it was
// (unset, if it was). Set it before any thread starts that may read it.
class ScopedConfigOption {
  public:
    ScopedConfigOption(const char* key, const std::string& value) : key_(key) {
        if (const char* previous = CPLGetConfigOption(key, nullptr)) previous_ = previous;
        CPLSetConfigOption(key, value.c_str());
    }
    ~ScopedConfigOption() { CPLSetConfigOption(key_, previous_ ? previous_->c_str() : nullptr); }
    ScopedConfigOption(const ScopedConfigOption&) = delete;
    ScopedConfigOption& operator=(const ScopedConfigOption&) = delete;

  private:
    const char* const key_;
    std::optional<std::string> previous_;
};
