// SPDX-License-Identifier: MIT
// The exception guard: NSExceptions raised by platform calls become NSError values.
#include "ObjCException.h"

#include <exception>

#include "ObjCExceptionDetail.h"

namespace {

constexpr const char* kDomain = "ObjCException";

}  // namespace

bool ocx_try(platform::FunctionRef<void()> block, std::optional<platform::NSError>* error) {
  try {
    block();
    return true;
  } catch (const platform::NSException& exception) {
    if (error != nullptr) {
      harkwell::Value::Object userInfo;
      userInfo.emplace_back(std::string(platform::NSLocalizedDescriptionKey),
                            exception.reason() ? *exception.reason() : exception.name());
      userInfo.emplace_back("ExceptionName", exception.name());
      if (exception.userInfo()) userInfo.emplace_back("ExceptionUserInfo", *exception.userInfo());
      *error = platform::NSError(kDomain, 0, std::move(userInfo));
    }
    return false;
  }
}

namespace harkwell {

namespace detail {

void runCatchingObjCException(platform::FunctionRef<void()> body, TryFunction tryFunction) {
  // The body's own error is kept as thrown (its exact type included) and never travels through
  // the exception handler.
  std::exception_ptr bodyError;
  std::optional<platform::NSError> exceptionError;
  auto wrapper = [&] {
    try {
      body();
    } catch (const platform::NSError&) {
      bodyError = std::current_exception();
    }
  };
  const bool returnedNormally = tryFunction(wrapper, &exceptionError);
  if (bodyError) std::rethrow_exception(bodyError);
  if (returnedNormally) return;
  if (exceptionError) throw *exceptionError;
  throw platform::NSError(
      kDomain, 0,
      {{std::string(platform::NSLocalizedDescriptionKey), Value("unknown ObjC exception")}});
}

}  // namespace detail

void runCatchingObjCException(platform::FunctionRef<void()> body) {
  detail::runCatchingObjCException(body, ocx_try);
}

}  // namespace harkwell
