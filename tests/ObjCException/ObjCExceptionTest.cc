// SPDX-License-Identifier: MIT
// The exception guard: how success, the body's own error and a raised NSException come out.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ObjCException/ObjCException.h"
#include "ObjCException/ObjCExceptionDetail.h"

namespace harkwell {
namespace {

using platform::NSError;
using platform::NSException;

const std::string kDesc(platform::NSLocalizedDescriptionKey);

class EngineError : public NSError {
 public:
  EngineError() : NSError("com.apple.coreaudio.avfaudio", -10868, {{kDesc, "engine failed"}}) {}
};

class RangeException : public NSException {
 public:
  RangeException() : NSException("NSRangeException", "index 3 beyond bounds") {}
};

bool failWithoutDescribing(platform::FunctionRef<void()>, std::optional<NSError>*) {
  return false;
}

struct Expected {
  std::string domain;
  std::int64_t code;
  Value::Object userInfo;
  std::string description;
};

TEST(ExceptionGuard, OutcomesTable) {
  const Value::Object exceptionInfo{{"bus", 0}, {"format", "48000 Hz"}};
  struct Case {
    const char* name;
    std::function<void()> body;
    detail::TryFunction tryFunction;   // ocx_try unless set
    std::optional<Expected> expected;  // none: returns normally
  };
  const std::vector<Case> cases = {
      {"body returns normally", [] {}, nullptr, std::nullopt},
      {"body's own error passes unchanged",
       [] {
         throw NSError("NSOSStatusErrorDomain", -50, {{kDesc, "param error"}, {"extra", 1}});
       },
       nullptr,
       Expected{
           "NSOSStatusErrorDomain", -50, {{kDesc, "param error"}, {"extra", 1}}, "param error"}},
      {"exception with reason and name",
       [] { throw NSException("com.apple.coreaudio.avfaudio", "required condition is false"); },
       nullptr,
       Expected{"ObjCException",
                0,
                {{kDesc, "required condition is false"},
                 {"ExceptionName", "com.apple.coreaudio.avfaudio"}},
                "required condition is false"}},
      {"exception with user information",
       [&] { throw NSException("NSInvalidArgumentException", "bad tap", exceptionInfo); }, nullptr,
       Expected{"ObjCException",
                0,
                {{kDesc, "bad tap"},
                 {"ExceptionName", "NSInvalidArgumentException"},
                 {"ExceptionUserInfo", exceptionInfo}},
                "bad tap"}},
      {"exception without reason", [] { throw NSException("NSGenericException", std::nullopt); },
       nullptr,
       Expected{"ObjCException",
                0,
                {{kDesc, "NSGenericException"}, {"ExceptionName", "NSGenericException"}},
                "NSGenericException"}},
      {"exception of a subclass", [] { throw RangeException(); }, nullptr,
       Expected{"ObjCException",
                0,
                {{kDesc, "index 3 beyond bounds"}, {"ExceptionName", "NSRangeException"}},
                "index 3 beyond bounds"}},
      {"handler fails without describing", [] {}, failWithoutDescribing,
       Expected{"ObjCException", 0, {{kDesc, "unknown ObjC exception"}}, "unknown ObjC exception"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = [&] {
      if (c.tryFunction)
        detail::runCatchingObjCException(c.body, c.tryFunction);
      else
        runCatchingObjCException(c.body);
    };
    if (!c.expected) {
      EXPECT_NO_THROW(run());
      continue;
    }
    try {
      run();
      ADD_FAILURE() << "returned normally";
    } catch (const NSError& e) {
      EXPECT_EQ(e.domain(), c.expected->domain);
      EXPECT_EQ(e.code(), c.expected->code);
      EXPECT_EQ(e.userInfo(), c.expected->userInfo);
      EXPECT_EQ(e.localizedDescription(), c.expected->description);
    }
  }
}

TEST(ExceptionGuard, BodyErrorKeepsItsOwnType) {
  EXPECT_THROW(runCatchingObjCException([] { throw EngineError(); }), EngineError);
}

TEST(ExceptionGuard, OtherExceptionsAreNotCaught) {
  EXPECT_THROW(runCatchingObjCException([] { throw std::runtime_error("not ours"); }),
               std::runtime_error);
  std::optional<NSError> slot;
  EXPECT_THROW(ocx_try([] { throw std::logic_error("not ours"); }, &slot), std::logic_error);
  EXPECT_FALSE(slot);
}

TEST(OcxTry, SlotIsWrittenOnlyOnFailure) {
  int calls = 0;
  // Null slot and a raising block: false, nothing to build into.
  EXPECT_FALSE(ocx_try(
      [&] {
        ++calls;
        throw NSException("N", "R");
      },
      nullptr));
  EXPECT_EQ(calls, 1);

  // Normal return: true, the slot keeps what the caller put there.
  std::optional<NSError> slot = NSError("caller", 7, {});
  EXPECT_TRUE(ocx_try([&] { ++calls; }, &slot));
  EXPECT_EQ(calls, 2);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->domain(), "caller");

  // Raising block: false and the slot replaced.
  EXPECT_FALSE(ocx_try([] { throw NSException("N", "R"); }, &slot));
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->domain(), "ObjCException");
  EXPECT_EQ(slot->localizedDescription(), "R");
}

}  // namespace
}  // namespace harkwell
