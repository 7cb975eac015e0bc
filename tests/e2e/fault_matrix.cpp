#include "fault_matrix.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace korvan::test::faults {

nlohmann::json with_fault(nlohmann::json scenario, const Fault& fault) {
    if (!fault.rv) {
        scenario["null_functions"].push_back(fault.function);
        return scenario;
    }
    char rv_text[16];
    std::snprintf(rv_text, sizeof rv_text, "0x%x", static_cast<unsigned>(*fault.rv));
    scenario["fail"].push_back({{"fn", fault.function}, {"call", fault.call}, {"rv", rv_text}});
    return scenario;
}

std::string fault_name(const Fault& fault) {
    if (!fault.rv) {
        return fault.function + "_null";
    }
    char rv_text[16];
    std::snprintf(rv_text, sizeof rv_text, "0x%x", static_cast<unsigned>(*fault.rv));
    return fault.function + "_" + std::to_string(fault.call) + "_" + rv_text;
}

std::string test_name(const std::string& text) {
    std::string name;
    for (const char ch : text) {
        const bool plain =
            (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
        name += plain ? ch : '_';
    }
    return name;
}

Calls call_names(const std::vector<TraceEntry>& trace) {
    Calls names;
    for (const TraceEntry& entry : trace) {
        names.push_back(entry.function);
    }
    return names;
}

void expect_clean_ending(const std::vector<TraceEntry>& trace, bool finalize_expected,
                         const std::string& where, const Fault& fault) {
    const bool no_logout = !fault.rv && fault.function == "C_Logout";
    const bool no_close = !fault.rv && fault.function == "C_CloseSession";
    const bool no_finalize = !fault.rv && fault.function == "C_Finalize";
    std::string open_session;
    bool logged_in = false;
    bool closed = false;
    bool finalized = false;
    for (const TraceEntry& entry : trace) {
        const std::string& fn = entry.function;
        EXPECT_FALSE(finalized) << where << ": " << entry.line << " after C_Finalize";
        if (closed && fn != "C_Finalize") {
            ADD_FAILURE() << where << ": " << entry.line << " after the session was closed";
        }
        if (fn == "C_OpenSession" && entry.rv == 0) {
            open_session = entry.arg("session");
        } else if (fn == "C_Login" && entry.arg("user") == "1" && entry.rv == 0) {
            logged_in = true;
        } else if (fn == "C_Logout") {
            logged_in = false;
        } else if (fn == "C_CloseSession") {
            EXPECT_EQ(entry.arg("session"), open_session) << where << ": closes another session";
            EXPECT_FALSE(logged_in && !no_logout)
                << where << ": closed without C_Logout after the login";
            closed = true;
        } else if (fn == "C_Finalize") {
            finalized = true;
        }
    }
    EXPECT_TRUE(open_session.empty() || closed || no_close)
        << where << ": session " << open_session << " left open";
    EXPECT_EQ(finalized, finalize_expected && !no_finalize) << where;
}

std::vector<std::uint8_t> mock_p256_der() {
    std::vector<std::uint8_t> der = {0x30, 0x44, 0x02, 0x20};
    for (std::uint8_t b = 0x01; b <= 0x20; ++b) {
        der.push_back(b);
    }
    der.insert(der.end(), {0x02, 0x20});
    for (std::uint8_t b = 0x21; b <= 0x40; ++b) {
        der.push_back(b);
    }
    return der;
}

} // namespace korvan::test::faults
