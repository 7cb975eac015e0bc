// The built sign-setup listing the mock module's tokens: what it shows without and with a login,
// that its KORVAN_EXPECT_TOKEN makes the built sign-cli accept the token, the PIN tried on one
// token only, the trust policy before any loading, and module code kept off standard output.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace korvan::test {
namespace {

using nlohmann::json;

json token(const std::string& serial, const std::string& label, const char* flags = "0x40d") {
    return {{"serial", serial}, {"label", label}, {"flags", flags}};
}

// Two tokens that share a serial number, a slot without a token, an uninitialised token; the
// first token's objects: private keys (one always-authenticate, one of a kind sign-cli cannot
// sign with), public keys (one the pair of a private key) and a certificate.
json scenario(json extra = json::object()) {
    json s = {
        {"slots",
         {{{"id", 1}, {"token", token("S1", "Kart A")}},
          {{"id", 2}, {"token", token("S1", "Kart B")}},
          {{"id", 3}},
          {{"id", 4}, {"token", token("", "", "0x1")}}}},
        {"keys",
         {{{"handle", 3001},
           {"id", "01"},
           {"label", "imza"},
           {"always_authenticate", true},
           {"slot", 1}},
          {{"handle", 3002}, {"id", "02"}, {"kind", "ec-p256"}, {"label", "ec"}, {"slot", 1}},
          {{"handle", 3003},
           {"id", "03"},
           {"slot", 1},
           {"attributes", {{"CKA_KEY_TYPE", {{"ulong", 1}}}}}}, // CKK_DSA
          {{"handle", 3004},
           {"id", "02"},
           {"class", 2},
           {"label", "ec pub"},
           {"slot", 1},
           {"attributes",
            {{"CKA_KEY_TYPE", {{"ulong", 3}}}, {"CKA_EC_PARAMS", "06082a8648ce3d030107"}}}},
          {{"handle", 3005}, {"id", "01"}, {"class", 1}, {"slot", 1}},
          {{"handle", 3006},
           {"id", "05"},
           {"class", 2},
           {"slot", 1},
           {"attributes", {{"CKA_KEY_TYPE", {{"ulong", 0}}}}}},
          {{"handle", 3101}, {"id", "01"}, {"slot", 2}}}},
    };
    s.update(extra);
    return s;
}

struct SetupRun {
    ChildResult result;
    std::vector<TraceEntry> trace;
    json listing; // stdout as JSON, when it is
};

SetupRun run_setup(const std::vector<std::string>& args, const std::string& input = "",
                   const json& mock_scenario = scenario(),
                   const TrustedModule& trusted = trusted_mock_module()) {
    MockToken mock(mock_scenario);
    ChildRun run;
    run.args = args;
    run.input = input;
    trusted.add_to(run);
    mock.add_to(run);
    SetupRun out{run_child(program_path("sign-setup"), run), mock.trace(), {}};
    out.listing = json::parse(out.result.out, nullptr, false);
    return out;
}

std::vector<std::string> calls(const SetupRun& run, const std::string& fn) {
    std::vector<std::string> found;
    for (const TraceEntry& entry : run.trace) {
        if (entry.function == fn) {
            found.push_back(entry.line);
        }
    }
    return found;
}

json flags(bool initialized, bool final_try = false, bool count_low = false, bool pin_pad = false) {
    return {{"login_required", initialized}, {"pin_count_low", count_low},
            {"pin_final_try", final_try},    {"pin_locked", false},
            {"initialized", initialized},    {"protected_authentication_path", pin_pad}};
}

// An entry of "slots": the mock names slot n's reader "Mock slot n".
json listed_slot(int slot, const char* content, json token_info_rv = nullptr,
                 bool removable = false) {
    return {{"slot", slot},
            {"reader", "Mock slot " + std::to_string(slot)},
            {"removable", removable},
            {"content", content},
            {"token_info_rv", std::move(token_info_rv)}};
}

json key(const std::string& id, const std::string& kind, const std::string& label,
         bool always_authenticate, bool certificate, bool private_key) {
    return {{"cka_id", id},
            {"kind", kind},
            {"always_authenticate", always_authenticate},
            {"label", label},
            {"certificate", certificate},
            {"private_key", private_key}};
}

json listed_token(int slot, const std::string& serial_hex, const std::string& serial,
                  const std::string& label_hex, const std::string& label, json token_flags,
                  json keys, bool removable = false) {
    return {{"slot", slot},           {"label", label},
            {"serial", serial},       {"expect_token", serial_hex + ":" + label_hex},
            {"flags", token_flags},   {"reader", "Mock slot " + std::to_string(slot)},
            {"removable", removable}, {"keys", std::move(keys)}};
}

TEST(SignSetupTokens, PublicObjectsWithoutALoginAndEveryKeyWithOne) {
    const std::string module = trusted_mock_module().module_path();
    const json public_keys = json::array({key("02", "ec-p256", "ec pub", false, false, false),
                                          key("05", "rsa", "", false, false, false)});
    const json all_keys = json::array({key("01", "rsa", "imza", true, true, true),
                                       key("02", "ec-p256", "ec", false, false, true),
                                       key("03", "unsupported", "", false, false, true),
                                       key("05", "rsa", "", false, false, false)});
    auto expected = [&](json slot1_keys) {
        return json{
            {"module", module},
            {"tokens",
             {listed_token(1, "5331", "S1", "4b6172742041", "Kart A", flags(true),
                           std::move(slot1_keys)),
              listed_token(2, "5331", "S1", "4b6172742042", "Kart B", flags(true), json::array()),
              listed_token(4, "", "", "", "", flags(false), json::array())}},
            {"slots",
             {listed_slot(1, "token"), listed_slot(2, "token"), listed_slot(3, "no_card", 0xe0),
              listed_slot(4, "token")}}};
    };

    const SetupRun anonymous = run_setup({"tokens", module, "--json"});
    EXPECT_EQ(anonymous.result.exit_code, 0) << anonymous.result.err;
    EXPECT_EQ(anonymous.listing, expected(public_keys)) << anonymous.result.out;
    EXPECT_TRUE(calls(anonymous, "C_Login").empty());
    // Only initialised tokens get a session, and every session is closed again.
    EXPECT_EQ(calls(anonymous, "C_OpenSession").size(), 2u);
    EXPECT_EQ(calls(anonymous, "C_CloseSession").size(), 2u);
    EXPECT_NE(anonymous.result.err.find("sign-setup: warning: the tokens in slots 1, 2 report the "
                                        "same serial number \"S1\""),
              std::string::npos)
        << anonymous.result.err;

    const SetupRun logged_in =
        run_setup({"tokens", "--login", "--slot", "1", "--json", module}, "1234\n");
    EXPECT_EQ(logged_in.result.exit_code, 0) << logged_in.result.err;
    json only_slot1 = expected(all_keys);
    only_slot1["tokens"] = json::array({only_slot1["tokens"][0]});
    only_slot1["slots"] = json::array({only_slot1["slots"][0]});
    EXPECT_EQ(logged_in.listing, only_slot1) << logged_in.result.out;
    EXPECT_EQ(calls(logged_in, "C_Login").size(), 1u);
    EXPECT_EQ(calls(logged_in, "C_Logout").size(), 1u);
    EXPECT_EQ(logged_in.trace.back().function, "C_Finalize");
}

TEST(SignSetupTokens, TheExpectTokenOfEachTokenIsWhatSignCliAccepts) {
    const TrustedModule& trusted = trusted_mock_module();
    const SetupRun listing = run_setup({"tokens", "--json", trusted.module_path()});
    ASSERT_EQ(listing.result.exit_code, 0) << listing.result.err;
    ASSERT_TRUE(listing.listing.is_object()) << listing.result.out;
    int checked = 0;
    for (const json& entry : listing.listing["tokens"]) {
        if (!entry["flags"]["initialized"].get<bool>()) {
            continue;
        }
        MockToken mock(scenario());
        ChildRun run;
        run.args = {"--proto=2",
                    trusted.module_path(),
                    "VERIFY_ONLY",
                    "",
                    "",
                    std::to_string(entry["slot"].get<int>())};
        run.input = "1234\n";
        run.env["KORVAN_EXPECT_TOKEN"] = entry["expect_token"].get<std::string>();
        trusted.add_to(run);
        mock.add_to(run);
        const ChildResult r = run_child(program_path("sign-cli"), run);
        EXPECT_EQ(r.exit_code, 0) << entry.dump() << "\n" << r.err;
        EXPECT_NE(r.err.find("sign-cli: VERIFY OK"), std::string::npos) << r.err;
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

TEST(SignSetupTokens, ThePinGoesToOneTokenOnlyAndNeverAsAFinalTry) {
    const std::string module = trusted_mock_module().module_path();
    const SetupRun ambiguous = run_setup({"tokens", "--login", module}, "1234\n");
    EXPECT_EQ(ambiguous.result.exit_code, 2);
    EXPECT_EQ(ambiguous.result.out, "");
    EXPECT_NE(ambiguous.result.err.find("--login tries the PIN on one token only: name it with "
                                        "--slot (initialised tokens in slots 1, 2)"),
              std::string::npos)
        << ambiguous.result.err;
    EXPECT_TRUE(calls(ambiguous, "C_Login").empty());

    const SetupRun wrong =
        run_setup({"tokens", "--login", "--slot", "1", "--json", module}, "9999\n");
    EXPECT_EQ(wrong.result.exit_code, 1);
    EXPECT_NE(wrong.result.err.find("sign-setup: slot 1: C_Login failed: rv=0xa0 "
                                    "CKR_PIN_INCORRECT\n"),
              std::string::npos)
        << wrong.result.err;
    // The public objects are still listed.
    ASSERT_TRUE(wrong.listing.is_object()) << wrong.result.out;
    EXPECT_EQ(wrong.listing["tokens"][0]["keys"].size(), 2u);

    const json final_try = scenario({{"pin_tries_left", 1}});
    const SetupRun refused =
        run_setup({"tokens", "--login", "--slot", "2", module}, "1234\n", final_try);
    EXPECT_EQ(refused.result.exit_code, 1);
    EXPECT_NE(refused.result.err.find("sign-setup: slot 2: not logged in: one more wrong PIN locks "
                                      "the token\n"),
              std::string::npos)
        << refused.result.err;
    EXPECT_TRUE(calls(refused, "C_Login").empty());
    const SetupRun allowed = run_setup(
        {"tokens", "--login", "--slot", "2", "--allow-final-try", module}, "1234\n", final_try);
    EXPECT_EQ(allowed.result.exit_code, 0) << allowed.result.err;
    EXPECT_EQ(calls(allowed, "C_Login").size(), 1u);

    const SetupRun no_pin = run_setup({"tokens", "--login", "--slot", "1", module}, "");
    EXPECT_EQ(no_pin.result.exit_code, 2);
    EXPECT_NE(no_pin.result.err.find("no PIN on the first line of standard input"),
              std::string::npos);
    EXPECT_TRUE(no_pin.trace.empty()) << "the module was loaded";
}

TEST(SignSetupTokens, TextForAPerson) {
    const std::string module = trusted_mock_module().module_path();
    const SetupRun run = run_setup({"tokens", module, "--slot", "1", "--login"}, "1234\n");
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_EQ(run.result.out, "module " + module +
                                  "\n"
                                  "slot 1: label \"Kart A\", serial \"S1\"\n"
                                  "  KORVAN_EXPECT_TOKEN=5331:4b6172742041\n"
                                  "  flags: login_required initialized\n"
                                  "  reader \"Mock slot 1\"\n"
                                  "  key 01 rsa label \"imza\" private-key certificate "
                                  "always-authenticate\n"
                                  "  key 02 ec-p256 label \"ec\" private-key\n"
                                  "  key 03 unsupported label \"\" private-key\n"
                                  "  key 05 rsa label \"\" public-key\n");
    const SetupRun two = run_setup({"tokens", module, "--slot", "2"});
    EXPECT_NE(two.result.out.find("  no public keys (private keys show with --login)\n"),
              std::string::npos)
        << two.result.out;
}

TEST(SignSetupTokens, OnlyAModuleThePolicyAcceptsIsLoaded) {
    // The mock itself, not the pinned copy of it.
    const SetupRun run = run_setup({"tokens", mock_module_path(), "--json"});
    EXPECT_EQ(run.result.exit_code, 9);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err,
              "sign-setup: module path rejected: not_known (see sign-setup check)\n");
    EXPECT_TRUE(run.trace.empty()) << "the module was loaded";
    // No audit record: the tool asks the policy, it is not sign-cli refusing a module.
    const std::string log = trusted_mock_module().audit_log_path();
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(std::u8string(log.begin(), log.end()))));
}

TEST(SignSetupTokens, ModuleCodeCannotWriteIntoTheListing) {
    const TrustedModule noisy(mock_module_path("noisy-pkcs11"));
    ASSERT_TRUE(noisy.ok()) << noisy.error();
    const SetupRun run =
        run_setup({"tokens", "--json", noisy.module_path()}, "", scenario(), noisy);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_TRUE(run.listing.is_object()) << run.result.out;
    EXPECT_NE(run.result.err.find("noisy-pkcs11: printf noise"), std::string::npos)
        << run.result.err;
}

// As in a terminal, where both streams are one channel: nothing to keep apart, and the listing
// still comes.
TEST(SignSetupTokens, OneChannelForBothStreamsStillLists) {
    const TrustedModule& trusted = trusted_mock_module();
    MockToken mock(scenario());
    ChildRun run;
    run.args = {"tokens", trusted.module_path(), "--slot", "1"};
    run.stderr_is_stdout = true;
    trusted.add_to(run);
    mock.add_to(run);
    const ChildResult r = run_child(program_path("sign-setup"), run);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("  KORVAN_EXPECT_TOKEN=5331:4b6172742041\n"), std::string::npos) << r.out;
}

// What a parent needs to tell "insert your card" from "another card": a reader without a card
// and a card the module cannot read are listed beside the tokens, with the reader's name; a
// PIN-pad reader's flag shows.
TEST(SignSetupTokens, EmptyReadersAndUnreadableCardsAreListed) {
    const std::string module = trusted_mock_module().module_path();
    const json readers = {
        {"slots",
         {{{"id", 0}, {"token", token("S1", "Kart A", "0x50d")}, {"removable", true}}, // PIN pad
          {{"id", 1}, {"removable", true}},
          {{"id", 2}, {"token", {{"info_rv", "0xe1"}}}}}}};
    const SetupRun listed = run_setup({"tokens", module, "--json"}, "", readers);
    EXPECT_EQ(listed.result.exit_code, 0) << listed.result.err;
    EXPECT_EQ(listed.listing["tokens"],
              json::array({listed_token(0, "5331", "S1", "4b6172742041", "Kart A",
                                        flags(true, false, false, true), json::array(), true)}))
        << listed.result.out;
    EXPECT_EQ(listed.listing["slots"], json::array({listed_slot(0, "token", nullptr, true),
                                                    listed_slot(1, "no_card", 0xe0, true),
                                                    listed_slot(2, "unreadable", 0xe1)}))
        << listed.result.out;
    const auto slot_lists = calls(listed, "C_GetSlotList");
    EXPECT_TRUE(std::any_of(slot_lists.begin(), slot_lists.end(), [](const std::string& line) {
        return line.find(" present=0 ") != std::string::npos;
    })) << "every slot is asked for, with a card or not";

    const SetupRun text = run_setup({"tokens", module}, "", readers);
    EXPECT_EQ(text.result.exit_code, 0) << text.result.err;
    for (const char* line : {"  flags: login_required initialized protected_authentication_path\n",
                             "  reader \"Mock slot 0\", removable\n",
                             "\nslot 1: no card (reader \"Mock slot 1\", removable)\n",
                             "\nslot 2: a card the module cannot read (C_GetTokenInfo rv=0xe1 "
                             "CKR_TOKEN_NOT_RECOGNIZED) (reader \"Mock slot 2\")\n"}) {
        EXPECT_NE(text.result.out.find(line), std::string::npos) << line << text.result.out;
    }

    struct Named {
        const char* slot;
        const char* why;
    };
    for (const Named& n : {Named{"1", "no card in the reader"},
                           Named{"2", "the module cannot read the card (C_GetTokenInfo rv=0xe1 "
                                      "CKR_TOKEN_NOT_RECOGNIZED)"},
                           Named{"7", "the module reports no such slot"}}) {
        const SetupRun one = run_setup({"tokens", module, "--slot", n.slot}, "", readers);
        EXPECT_EQ(one.result.exit_code, 1) << n.slot;
        EXPECT_EQ(one.result.err, "sign-setup: slot " + std::string(n.slot) +
                                      " holds no token the module could describe: " + n.why + "\n");
    }

    // Only an unreadable card: no token, but the card shows; no slot at all says so.
    const SetupRun unreadable = run_setup(
        {"tokens", module}, "", {{"slots", {{{"id", 5}, {"token", {{"info_rv", "0xe1"}}}}}}});
    EXPECT_EQ(unreadable.result.exit_code, 0) << unreadable.result.err;
    EXPECT_EQ(unreadable.result.out,
              "module " + module +
                  "\nno slot holds a token\nslot 5: a card the module cannot read (C_GetTokenInfo "
                  "rv=0xe1 CKR_TOKEN_NOT_RECOGNIZED) (reader \"Mock slot 5\")\n");
    const SetupRun none = run_setup({"tokens", module, "--json"}, "", {{"slots", json::array()}});
    EXPECT_EQ(none.result.exit_code, 0) << none.result.err;
    EXPECT_EQ(none.listing,
              (json{{"module", module}, {"tokens", json::array()}, {"slots", json::array()}}));
    const SetupRun none_text = run_setup({"tokens", module}, "", {{"slots", json::array()}});
    EXPECT_NE(none_text.result.out.find("the module reports no slot at all"), std::string::npos)
        << none_text.result.out;
}

} // namespace
} // namespace korvan::test
