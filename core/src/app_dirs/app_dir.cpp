#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/home.hpp"

namespace korvan::app_dirs {

std::optional<std::string> app_dir(const platform::Environment& environment) {
    return app_dir(environment, platform::profile_directory);
}

std::optional<std::string> app_dir(const platform::Environment& environment,
                                   ProfileLookup profile) {
    platform::EnvValue home = environment.get("HOME");
    std::optional<std::string> base;
    // An empty or relative HOME would make the current folder, which anybody may have chosen or
    // planted, the one that decides what is trusted: it counts as unset.
    if (home.status != platform::EnvValue::Status::Unset && is_absolute(home.value)) {
        base = std::move(home.value);
    } else {
        base = profile();
    }
    if (!base) {
        return std::nullopt;
    }
    return join_path(*base, ".korvan-qes");
}

} // namespace korvan::app_dirs
