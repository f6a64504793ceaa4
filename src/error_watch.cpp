#include "error_watch.h"

ErrorWatch::ErrorWatch(bool quiet) : quiet_(quiet) { CPLPushErrorHandlerEx(Handle, this); }

ErrorWatch::~ErrorWatch() { CPLPopErrorHandler(); }

void CPL_STDCALL ErrorWatch::Handle(CPLErr kind, CPLErrorNum number, const char* message) {
    auto* watch = static_cast<ErrorWatch*>(CPLGetErrorHandlerUserData());
    if (kind >= CE_Failure) watch->failed_ = true;
    if (!watch->quiet_) CPLDefaultErrorHandler(kind, number, message);
}
