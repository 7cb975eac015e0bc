#include "core_fixtures.hpp"
#include "korvan/audit/audit_record.hpp"

#include <gtest/gtest.h>

namespace korvan::audit {
namespace {

std::string json_of(const AuditRecord& record) {
    auto result = record.to_json();
    if (auto* error = std::get_if<SerializationError>(&result)) {
        ADD_FAILURE() << error->text;
        return {};
    }
    return std::get<std::string>(result);
}

TEST(AuditRecord, EveryActionHasItsWireName) {
    const std::string_view names[] = {"helper_started",
                                      "helper_stopped",
                                      "list_certs",
                                      "sign",
                                      "sign_pdf",
                                      "pin_prompt_shown",
                                      "pin_prompt_cancelled",
                                      "login_failed",
                                      "pin_locked_refused",
                                      "token_not_found",
                                      "autostart_enabled",
                                      "autostart_disabled",
                                      "update_available",
                                      "update_installed",
                                      "update_failed",
                                      "manual_pkcs11_module_approved",
                                      "manual_pkcs11_module_autoloaded",
                                      "origin_action_denied",
                                      "child_module_rejected",
                                      "audit_role_key_regenerated",
                                      "trust_root_added",
                                      "trust_root_removed"};
    static_assert(std::size(names) == audit_action_count);
    for (std::size_t i = 0; i < audit_action_count; ++i) {
        EXPECT_EQ(wire_name(static_cast<AuditAction>(i)), names[i]) << i;
    }
    EXPECT_EQ(static_cast<int>(AuditAction::child_module_rejected), 18);
}

TEST(AuditRecord, JsonText) {
    AuditRecord minimal;
    minimal.ts = "2025-03-01T09:15:02Z";
    minimal.action = AuditAction::sign;
    minimal.success = true;

    AuditRecord rejected;
    rejected.ts = "2025-03-01T09:15:02.1234567Z";
    rejected.action = AuditAction::child_module_rejected;
    rejected.error = "child_module_rejected:not_known";

    // Filled in an order other than the output's; empty, false and 0 are still written.
    AuditRecord full;
    full.role_mac = "m";
    full.role_len = 0;
    full.has_role = false;
    full.role_name = "r";
    full.pades_level = "B-LT";
    full.file = "C:\\d\u00fcz.pdf";
    full.error = "";
    full.success = true;
    full.cert_thumbprint = "t";
    full.demand_id = "d";
    full.action = AuditAction::trust_root_removed;
    full.ts = "x";

    AuditRecord escaped;
    escaped.action = AuditAction::helper_started;
    escaped.error = std::string("q\"b\\n\nu\x01 t\tb\bf\fr\r z\x1f d\x7f s/ \xC4\x9F") + '\0';
    escaped.role_len = 4294967295u;

    struct Case {
        const AuditRecord& record;
        std::string_view json;
    };
    const Case cases[] = {
        {minimal, R"({"ts":"2025-03-01T09:15:02Z","action":"sign","success":true})"},
        {rejected, R"({"ts":"2025-03-01T09:15:02.1234567Z","action":"child_module_rejected",)"
                   R"("success":false,"error":"child_module_rejected:not_known"})"},
        {full, R"({"ts":"x","action":"trust_root_removed","demand_id":"d","cert_thumbprint":"t",)"
               R"("success":true,"error":"","file":"C:\\d)"
               "\xC3\xBC"
               R"(z.pdf","pades_level":"B-LT","role_name":"r","has_role":false,"role_len":0,)"
               R"("role_mac":"m"})"},
        {escaped, R"({"ts":"","action":"helper_started","success":false,"error":)"
                  R"("q\"b\\n\nu\u0001 t\tb\bf\fr\r z\u001f d)"
                  "\x7f"
                  R"( s/ )"
                  "\xC4\x9F"
                  R"(\u0000","role_len":4294967295})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(json_of(c.record), c.json);
    }
}

TEST(AuditRecord, TextThatIsNotUtf8IsASerializationError) {
    AuditRecord record;
    record.file = "bad\xFF";
    EXPECT_TRUE(std::holds_alternative<SerializationError>(record.to_json()));
}

TEST(AuditRecord, Timestamps) {
    struct Case {
        std::int64_t seconds;
        std::uint32_t nanoseconds;
        std::string_view text;
    };
    const Case cases[] = {
        {1740820502, 0, "2025-03-01T09:15:02Z"},
        {1740820502, 100000000, "2025-03-01T09:15:02.1Z"},
        {1740820502, 123456700, "2025-03-01T09:15:02.1234567Z"},
        {1740820502, 500000000, "2025-03-01T09:15:02.5Z"},
        {1740820502, 1, "2025-03-01T09:15:02.000000001Z"},
        {1740820502, 999999999, "2025-03-01T09:15:02.999999999Z"},
        {0, 0, "1970-01-01T00:00:00Z"},
        {-1, 0, "1969-12-31T23:59:59Z"},
        {951782400, 0, "2000-02-29T00:00:00Z"},
        {-62167219200, 0, "0000-01-01T00:00:00Z"},
        {253402300799, 0, "9999-12-31T23:59:59Z"},
        {253402300800, 0, "1970-01-01T00:00:00Z"}, // year 10000
        {-62167219201, 0, "1970-01-01T00:00:00Z"}, // year -1
        {INT64_MAX, 0, "1970-01-01T00:00:00Z"},
        {INT64_MIN, 0, "1970-01-01T00:00:00Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_rfc3339({c.seconds, c.nanoseconds}), c.text) << c.seconds;
    }
    EXPECT_EQ(now_rfc3339(test::FixedClock(1740820502, 100000000)), "2025-03-01T09:15:02.1Z");
}

TEST(AuditRecord, TheSystemClockReadsThePresent) {
    const std::string text = now_rfc3339(platform::SystemClock());
    EXPECT_NE(text, "1970-01-01T00:00:00Z");
    EXPECT_EQ(text.back(), 'Z');
    EXPECT_GE(text.substr(0, 4), "2024");
}

} // namespace
} // namespace korvan::audit
