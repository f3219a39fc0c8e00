// SPDX-License-Identifier: MIT
// Errors, exceptions, UUIDs and the notification centre of the platform layer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "HarkwellCore/Value.h"
#include "Platform/dispatch/Dispatch.h"

namespace platform {

inline constexpr std::string_view NSLocalizedDescriptionKey = "NSLocalizedDescription";

// An error value: domain, code and user information. Thrown as a C++ exception by operations
// that fail with an error.
class NSError : public std::exception {
 public:
  NSError(std::string domain, std::int64_t code, harkwell::Value::Object userInfo);

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const harkwell::Value::Object& userInfo() const { return userInfo_; }
  // The text under NSLocalizedDescriptionKey, or a generic description built from the domain
  // and code when there is none.
  std::string localizedDescription() const;
  const char* what() const noexcept override;

 private:
  std::string domain_;
  std::int64_t code_;
  harkwell::Value::Object userInfo_;
  std::string what_;
};

// What the platform raises instead of returning an error (the audio engine, a tap on a bus
// that has one). Caught only by the exception guard.
class NSException {
 public:
  NSException(std::string name, std::optional<std::string> reason,
              std::optional<harkwell::Value::Object> userInfo = std::nullopt)
      : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}
  virtual ~NSException() = default;

  const std::string& name() const { return name_; }
  const std::optional<std::string>& reason() const { return reason_; }
  const std::optional<harkwell::Value::Object>& userInfo() const { return userInfo_; }

 private:
  std::string name_;
  std::optional<std::string> reason_;
  std::optional<harkwell::Value::Object> userInfo_;
};

// A random (version 4) UUID.
class NSUUID {
 public:
  NSUUID();  // a fresh random UUID
  explicit NSUUID(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}
  // 36 characters: upper-case hexadecimal in groups 8-4-4-4-12 joined by hyphens.
  std::string UUIDString() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  friend bool operator==(const NSUUID&, const NSUUID&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_;
};

inline constexpr std::string_view AVAudioEngineConfigurationChangeNotification =
    "AVAudioEngineConfigurationChangeNotification";

// Delivers named notifications from a sender to observers, each on its observer's queue.
class NotificationCenter {
 public:
  using ObserverToken = std::shared_ptr<void>;

  static NotificationCenter& defaultCenter();

  // `block` runs on `queue` for each notification `name` that `sender` posts.
  virtual ObserverToken addObserver(std::string_view name, const void* sender,
                                    std::shared_ptr<DispatchQueue> queue,
                                    std::function<void()> block) = 0;
  // No call of the observer's block starts after this returns.
  virtual void removeObserver(const ObserverToken& token) = 0;
  // May be called from any thread.
  virtual void post(std::string_view name, const void* sender) = 0;

 protected:
  virtual ~NotificationCenter() = default;
};

}  // namespace platform
