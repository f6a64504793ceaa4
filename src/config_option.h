#pragma once

#include <optional>
#include <string>

#include <cpl_conv.h>

// One of GDAL's configuration options, set for as long as the object lives and then as it was
// (unset, if it was). For the whole process, set it before any thread starts that may read it;
// for this thread only, it hides the process's value from this thread's calls alone.
class ScopedConfigOption {
  public:
    enum class Scope { kProcess, kThisThread };

    ScopedConfigOption(const char* key, const std::string& value, Scope scope = Scope::kProcess)
        : key_(key), scope_(scope) {
        const char* previous = scope == Scope::kProcess
                                   ? CPLGetConfigOption(key, nullptr)
                                   : CPLGetThreadLocalConfigOption(key, nullptr);
        if (previous) previous_ = previous;
        Set(value.c_str());
    }
    ~ScopedConfigOption() { Set(previous_ ? previous_->c_str() : nullptr); }
    ScopedConfigOption(const ScopedConfigOption&) = delete;
    ScopedConfigOption& operator=(const ScopedConfigOption&) = delete;

  private:
    void Set(const char* value) const {
        if (scope_ == Scope::kProcess)
            CPLSetConfigOption(key_, value);
        else
            CPLSetThreadLocalConfigOption(key_, value);
    }

    const char* const key_;
    const Scope scope_;
    std::optional<std::string> previous_;
};
