#include "error_watch.h"

#include <algorithm>
#include <new>
#include <utility>

namespace {

thread_local const MootWarnings* innermost_moot = nullptr;

void ShowMessage(CPLErr kind, CPLErrorNum number, const char* message) {
    if (!MootWarnings::Hides(kind, message)) CPLDefaultErrorHandler(kind, number, message);
}

}  // namespace

ErrorWatch::ErrorWatch(bool quiet) : quiet_(quiet) { CPLPushErrorHandlerEx(Handle, this); }

ErrorWatch::~ErrorWatch() { CPLPopErrorHandler(); }

void CPL_STDCALL ErrorWatch::Handle(CPLErr kind, CPLErrorNum number, const char* message) {
    auto* watch = static_cast<ErrorWatch*>(CPLGetErrorHandlerUserData());
    if (kind >= CE_Failure) watch->failed_ = true;
    if (!watch->quiet_) ShowMessage(kind, number, message);
}

MootWarnings::MootWarnings(std::vector<std::string> texts)
    : texts_(std::move(texts)), outer_(innermost_moot) {
    innermost_moot = this;
    CPLPushErrorHandler(Handle);
}

MootWarnings::~MootWarnings() {
    CPLPopErrorHandler();
    innermost_moot = outer_;
}

bool MootWarnings::Hides(CPLErr kind, const char* message) {
    if (kind != CE_Warning || !message) return false;
    for (const MootWarnings* moot = innermost_moot; moot; moot = moot->outer_)
        for (const std::string& text : moot->texts_)
            if (std::string(message).find(text) != std::string::npos) return true;
    return false;
}

void CPL_STDCALL MootWarnings::Handle(CPLErr kind, CPLErrorNum number, const char* message) {
    ShowMessage(kind, number, message);
}

void FirstFailure::Note() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (failed_) return;
    failed_ = true;
    class_ = std::max(CE_Failure, CPLGetLastErrorType());
    number_ = CPLGetLastErrorNo();
    try {
        if (*CPLGetLastErrorMsg()) message_ = CPLGetLastErrorMsg();
    } catch (const std::bad_alloc&) {
    }
}

bool FirstFailure::failed() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return failed_;
}

CPLErr FirstFailure::Raise() const {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!failed_) return CE_None;
    CPLError(class_, number_, "%s", message_.c_str());
    return CE_Failure;
}
