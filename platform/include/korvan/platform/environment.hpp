#pragma once

#include <string>
#include <string_view>

namespace korvan::platform {

struct EnvValue {
    enum class Status { Unset, NotUnicode, Set };
    Status status = Status::Unset;
    std::string value; // UTF-8 when Set; the raw or best-effort bytes when NotUnicode

    bool is_set() const { return status == Status::Set; }
};

class Environment {
  public:
    virtual ~Environment() = default;
    virtual EnvValue get(std::string_view name) const = 0;
};

// The real process environment (read as UTF-16 on Windows and converted once).
class ProcessEnvironment final : public Environment {
  public:
    EnvValue get(std::string_view name) const override;
};

} // namespace korvan::platform
