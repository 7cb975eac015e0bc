// Appends records to the audit log in a folder as fast as it can, for the test of two processes
// writing at once: korvan-audit-append <dir> <count> <tag>
#include "korvan/audit/audit_log.hpp"

#include <string>

using namespace korvan;

namespace {

class ZeroClock final : public platform::Clock {
  public:
    platform::UtcTime now() const override { return {1740820502, 0}; }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    ZeroClock clock;
    auto opened = audit::AuditLog::open(argv[1], 1ULL << 40, 30, 3, clock);
    auto* log = std::get_if<audit::AuditLog>(&opened);
    if (log == nullptr) {
        return 1;
    }
    audit::AuditRecord record;
    record.ts = audit::now_rfc3339(clock);
    record.role_name = argv[3];
    // Long records make a split between the text and its line feed likely if there ever is one.
    record.error = std::string(4000, argv[3][0]);
    const int count = std::stoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        if (log->append(record)) {
            return 1;
        }
    }
    return 0;
}
