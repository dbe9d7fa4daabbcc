#include "telvo_sim/host_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "identity/identifier_text.h"
#include "offline_network/offline_layout.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_transaction.h"
#include "platform/file_constants.h"
#include "platform/service.h"
#include "winformat/sddl.h"
#include "telvo_sim/host_file_wfp.h"
#include "telvo_sim/host_process.h"
#include "winformat/text.h"

namespace telvo::telvo_sim {
namespace {

using platform::sim::SimHost;
namespace step = platform::sim::step;

const std::string kAlice = "S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr char kLeaseProfile[] = "Telvo.Sandbox.0123456789abcdef0123456789abcdef";
constexpr char kLeaseId[] = "6f1c0a52-8c1e-4d4e-9a1b-0c2d3e4f5a6b";

std::string Sddl(std::span<const std::uint8_t> bytes) {
    return winformat::WriteSddl(winformat::SecurityDescriptor::ParseSelfRelative(bytes).value()).value();
}

// The smallest host: a user and one volume, and `more` members.
std::string Host(const std::string& more = "") {
    return std::string(R"({"format":"telvo-sim-host/1",)") +
           R"("user":{"name":"bob","sid":"S-1-5-21-1-2-3-1001","administrator":false,"elevated":false,)" +
           R"("profile":"C:\\Users\\bob","localAppData":"C:\\Users\\bob\\AppData\\Local"},)" +
           R"("volumes":[{"drive":"C:","type":"fixed"}])" + more + "}";
}

std::string Refusal(const std::string& text) {
    auto loaded = ReadHostFile(text);
    if (loaded) return "(accepted)";
    return loaded.error().Display();
}

TEST(HostFile, DefaultHostHasWhatItPromises) {
    auto loaded = ReadHostFile(DefaultHostFile());
    ASSERT_TRUE(loaded) << loaded.error().Display();
    SimHost& host = *loaded->host;
    const auto volumes = host.files().Volumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].root, u"C:");
    EXPECT_EQ(volumes[0].drive_type, platform::drive_type::kFixed);
    EXPECT_EQ(volumes[0].file_system_name, u"NTFS");
    EXPECT_TRUE(volumes[0].file_system_flags & platform::volume_flag::kPersistentAcls);
    const auto& token = host.security().ProcessToken();
    EXPECT_EQ(token.identity.user.ToString(), kAlice);
    EXPECT_FALSE(token.elevated);
    EXPECT_EQ(host.system().UserName(), u"alice");
    EXPECT_EQ(host.system().Profile(), u"C:\\Users\\alice");
    EXPECT_EQ(host.system().LocalAppData(), u"C:\\Users\\alice\\AppData\\Local");
    for (const char16_t* path : {u"C:\\Users\\alice\\work\\README.md", u"C:\\Users\\alice\\work\\.zanth",
                                 u"C:\\Users\\alice\\work\\node_modules\\.bin", u"C:\\Windows\\System32\\cmd.exe",
                                 u"C:\\Users\\alice\\AppData\\Local"}) {
        EXPECT_TRUE(host.files().Lookup(path)) << winformat::Utf16ToDisplay(path);
    }
    // The workspace inherits alice's profile entries; the metadata targets carry the package entries.
    EXPECT_EQ(Sddl(host.files().SecurityDescriptorOf(u"C:\\Users\\alice\\work").value()),
              "O:" + kAlice + "G:" + kAlice + "D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;" + kAlice + ")");
    EXPECT_NE(Sddl(host.files().SecurityDescriptorOf(u"C:\\Users").value()).find("(A;;0x120088;;;AC)"),
              std::string::npos);
    const auto* service = host.service().Find(u"TelvoOfflineNetwork");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->status.current_state, platform::service_state::kRunning);
    // The SCM started the real service in a process of this boot.
    EXPECT_NE(service->status.process_id, 812u);
    EXPECT_EQ(host.service().ServiceProcess(u"TelvoOfflineNetwork")->id(), service->status.process_id);
    const auto scripts = host.processes().Scripts();
    ASSERT_TRUE(scripts.contains(CommandLineOf(u"C:\\Windows\\System32", u"build")));
    const auto& serve = scripts.at(CommandLineOf(u"C:\\Windows\\System32", u"serve"));
    ASSERT_EQ(serve.size(), 2u);
    EXPECT_EQ(std::get<step::StartChild>(serve[0]).command_line,
              u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"watch\"");
}

TEST(HostFile, CommandsRunAsCmdWouldAndUnknownOnesFailWithItsMessage) {
    auto loaded = ReadHostFile(Host(R"(,"objects":[{"path":"C:\\w","kind":"directory"}],)"
                                    R"("commands":{"make":{"steps":[{"mkdir":"C:\\w\\out"},{"write":"C:\\w\\out\\a","text":"x"}],"exitCode":3}})"));
    ASSERT_TRUE(loaded) << loaded.error().Display();
    SimHost& host = *loaded->host;
    const auto run = [&](const std::u16string& command) {
        platform::CreateProcessParameters parameters;
        parameters.command_line = CommandLineOf(u"C:\\Windows\\System32", command);
        parameters.inherit_handles = true;
        const platform::Handle out = host.console().GetStdHandle(platform::StdStream::output).value();
        parameters.startup_info = {0, platform::startup_flag::kUseStdHandles, platform::kNullHandle, out, out, {}};
        auto created = host.processes().CreateProcessW(parameters);
        if (!created) return std::uint32_t{0xFFFF};
        return host.processes().GetExitCodeProcess(created->process).value();
    };
    EXPECT_EQ(run(u"make"), 3u);
    EXPECT_EQ(host.files().Lookup(u"C:\\w\\out\\a").value().contents, "x");
    // cmd.exe's answer to a command it does not know; any other program is still missing.
    EXPECT_EQ(run(u"nothing here"), 1u);
    platform::CreateProcessParameters other;
    other.command_line = u"notepad.exe";
    EXPECT_EQ(host.processes().CreateProcessW(other).error(), SysError::Win32(platform::win32_error::kFileNotFound));
}

TEST(HostFile, RefusesWithThePosition) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {Host(R"(,"extra":1)"), "unknown field `extra` at line 1, column"},
        {R"({"format":"telvo-sim-host/2"})", "unknown format \"telvo-sim-host/2\""},
        {Host(R"(,"boot":{})"), "missing field `id`"},
        {Host(R"(,"boot":{"id":"00000000-0000-0000-0000-000000000000"})"), "zero UUID is not an identity"},
        {Host(R"(,"objects":[{"path":"C:\\a","kind":"directory","color":"red"}])"), "unknown field `color`"},
        {Host(R"(,"objects":[{"path":"C:\\a","kind":"folder"}])"), "unknown kind \"folder\""},
        {Host(R"x(,"objects":[{"path":"C:\\a","kind":"directory","sd":"D:(A;;FA;;;XX)"}])x"),
         "bad SDDL for `sd` at line 1"},
        {Host(R"(,"objects":[{"path":"C:\\a","kind":"directory"},{"path":"c:\\A","kind":"file"}])"),
         "is not X:\\ and one or more names"},
        {Host(R"(,"objects":[{"path":"C:\\a","kind":"directory"},{"path":"C:\\A","kind":"file"}])"),
         "C:\\A is given twice"},
        {Host(R"(,"objects":[{"path":"C:\\a\\b","kind":"directory"},{"path":"C:\\a","kind":"directory"}])"),
         "C:\\a\\b comes before its parent directory"},
        {Host(R"(,"objects":[{"path":"C:\\f","kind":"file"},{"path":"C:\\f\\g","kind":"file"}])"),
         "C:\\f\\g comes before its parent directory"},
        {Host(R"(,"objects":[{"path":"C:\\f","kind":"file","content":7}])"), "`content`"},
        {Host(R"(,"objects":[{"path":"C:\\f","kind":"file"},{"path":"C:\\h","kind":"hardlink","target":"C:\\f","sd":"D:"}])"),
         "a hard link shares the descriptor of its file"},
        {Host(R"(,"objects":[{"path":"C:\\h","kind":"hardlink","target":"C:\\f"}])"),
         "must be a file listed before it"},
        {Host(R"(,"commands":{"a":{"steps":[{"spawn":"b"}]}})"), "`spawn` names no command of the host"},
        {Host(R"(,"commands":{"a":{"steps":[{"jump":"b"}]}})"), "unknown step `jump`"},
        {Host(R"(,"commands":{"a":{"steps":[{"read":"C:\\x","text":"y"}]}})"), "unknown field `text`"},
        {Host(R"(,"commands":{"a":{"steps":[{"closeControllerInput":false}]}})"), "`closeControllerInput` takes the value true"},
        {Host(R"(,"commands":{"a":{"exitCode":-1}})"), "expected a whole number from 0 to 4294967295 for `exitCode`"},
        {Host(R"(,"mutexes":[{"name":"m","state":"lost"}])"), "unknown state \"lost\""},
        {Host(R"(,"mutexes":[{"name":"m","state":"held"},{"name":"M","state":"open"}])"), "mutex M is given twice"},
        {Host(R"(,"registry":[{"key":"K","name":"n","type":"REG_SZ","text":"a","hex":"00"}])"), "not both"},
        {Host(R"(,"registry":[{"key":"K","name":"n","type":"REG_DWORD","hex":"0"}])"), "pairs of hexadecimal digits"},
        {Host(R"(,"accounts":[{"name":"x","sid":"S-1-x"}])"), "bad SID for `sid`"},
        {Host(R"(,"profiles":[{"name":"p","displayName":"p","description":"p"},{"name":"P","displayName":"p","description":"p"}])"),
         "profile P is given twice"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(Refusal(c.text).find(c.message), std::string::npos) << c.text << "\n=> " << Refusal(c.text);
    }
    // A volume's keys, and its drive given twice.
    EXPECT_NE(Refusal(R"({"format":"telvo-sim-host/1","user":{"name":"b","sid":"S-1-5-21-1-2-3-1001","administrator":true,"elevated":false,"profile":"p","localAppData":"l"},"volumes":[{"drive":"C:","type":"fixed"},{"drive":"C:","type":"removable"}]})")
                  .find("drive C: is given twice"),
              std::string::npos);
    EXPECT_NE(Refusal(R"({"format":"telvo-sim-host/1","user":{"name":"b","sid":"S-1-5-21-1-2-3-1001","administrator":false,"elevated":true,"profile":"p","localAppData":"l"},"volumes":[]})")
                  .find("cannot run elevated"),
              std::string::npos);
    EXPECT_NE(Refusal(R"({"format":"telvo-sim-host/1","user":{"name":"b","sid":"S-1-5-21-1-2-3-1001","administrator":false,"elevated":false,"profile":"p","localAppData":"l"},"volumes":[{"drive":"c:","type":"fixed"}]})")
                  .find("not an upper-case letter"),
              std::string::npos);
    // Messages name the key and what it takes, in the file's own words.
    const Case worded[] = {
        {R"({"format":"telvo-sim-host/1","volumes":{}})", "invalid type: object, expected an array for `volumes` at line 1"},
        {R"({"format":"telvo-sim-host/1","user":{"administrator":"no"}})",
         "invalid type: string \"no\", expected a boolean for `administrator` at line 1"},
        {R"({"format":"telvo-sim-host/1","user":{"profile":"D:\\Users\\bob"}})",
         "`user` profile D:\\Users\\bob is on no drive of the host: add D: to `volumes`"},
        {R"({"format":"telvo-sim-host/1","user":{"profile":"C:\\p"},"objects":[{"path":"C:\\p","kind":"file"}]})",
         "`user` profile needs C:\\p to be a directory, not a file"},
        {Host(R"(,"commands":{"a":{"steps":[{"print":"x","to":"stderr"}]}})"),
         "`to` takes \"output\" or \"error\", not \"stderr\""},
        {Host(R"(,"commands":{"a":{"steps":[{"print":["x"]}]}})"), "invalid type: array, expected a string for `print`"},
        {Host(R"(,"commands":{"a":{"exitCode":1.5}})"),
         "invalid type: floating point `1.5`, expected a whole number from 0 to 4294967295 for `exitCode`"},
        {Host(R"(,"commands":{"a":{"steps":[{"ignoreTermination":-1}]}})"),
         "expected a whole number from 0 to 18446744073709551615 for `ignoreTermination`"},
        {Host(R"(,"commands":[])"), "invalid type: array, expected the commands at line 1"},
    };
    for (const Case& c : worded) {
        const std::string message = Refusal(c.text);
        EXPECT_NE(message.find(c.message), std::string::npos) << c.text << "\n=> " << message;
        for (const char* internal : {"u32", "u64", "sequence", "map"}) {
            EXPECT_EQ(message.find(internal), std::string::npos) << message;
        }
    }
    // The position names the line of the offending member.
    EXPECT_NE(Refusal(Host(",\n\"objects\":[\n{\"path\":\"C:\\\\a\",\"kind\":\"directory\",\"x\":1}]")).find("at line 3"),
              std::string::npos);
}

// One filter of `wfp`: its id, its slot and its lease (of the default boot).
std::string Filter(int id, int slot, const std::string& profile = kLeaseProfile, const std::string& lease = kLeaseId,
                   const std::string& more = "", const std::string& lease_more = "",
                   std::string_view boot = kDefaultBootId) {
    return R"({"id":)" + std::to_string(id) + R"(,"slot":)" + std::to_string(slot) + R"(,"lease":{"profile":")" +
           profile + R"(","leaseId":")" + lease + R"(","bootId":")" + std::string(boot) + "\"" + lease_more + "}" +
           more + "}";
}

// `wfp` with `filters` and then the four filters of a whole lease.
std::string Wfp(const std::string& filters, const std::string& lease = kLeaseId) {
    std::string text = R"(,"wfp":{"provider":true,"sublayer":true,"filters":[)" + filters;
    for (int slot = 0; slot < 4; ++slot) {
        text += (text.ends_with("[") ? "" : ",") + Filter(100 + slot, slot, kLeaseProfile, lease);
    }
    return text + "]}";
}

// The leases in the host's engine, enumerated as the service enumerates them.
std::vector<offline_network::OfflineLease> Leases(SimHost& host) {
    return AsSystemProcess(host, [](platform::Platform& platform) {
        auto transaction = offline_network::WfpTransaction::Begin(platform.wfp).value();
        auto leases = offline_network::EnumerateOfflineLeases(platform, transaction.engine());
        EXPECT_TRUE(leases) << leases.error().Display();
        return leases.value_or(std::vector<offline_network::OfflineLease>{});
    });
}

TEST(HostFile, RefusesFiltersThatAreNoWholeLeases) {
    const std::string other = "Telvo.Sandbox.fedcba9876543210fedcba9876543210";
    const std::string other_lease = "0d2b1f0e-3c4a-4b5d-8e6f-708192a3b4c5";
    const std::pair<std::string, std::string> cases[] = {
        {R"(,"wfp":{})", "missing field `provider`"},
        {R"(,"wfp":{"provider":true,"sublayer":true,"filters":[],"weight":1})", "unknown field `weight`"},
        {R"(,"wfp":{"provider":false,"sublayer":true,"filters":[]})", "the offline sublayer belongs to the offline provider"},
        {R"(,"wfp":{"provider":true,"sublayer":false,"filters":[)" + Filter(7, 0) + "," + Filter(8, 1) + "," +
             Filter(9, 2) + "," + Filter(10, 3) + "]}",
         "lease filters need the offline sublayer"},
        {Wfp(Filter(7, 0, other, other_lease, R"(,"weight":1)")), "unknown field `weight`"},
        {Wfp(Filter(7, 0, other, other_lease, "", R"(,"owner":"x")")), "unknown field `owner`"},
        {Wfp(Filter(7, 0, other, other_lease, "", R"(,"state":"lost")")), "`state` is not \"retained\""},
        // An active lease is a live registration, which a file cannot hold.
        {Wfp(Filter(7, 0, other, other_lease, "", R"(,"state":"active")")),
         "a lease cannot be \"active\" in a host file"},
        {Wfp(Filter(7, 0, other, other_lease, "", "", "2F5D0C6E-8A41-4B7E-9D3C-51A0E6B4C7F2")), "bad `bootId` at line 1"},
        {Wfp(Filter(7, 0, kLeaseProfile, kLeaseId, "", R"(,"callerPid":9)")),
         "lease " + std::string(kLeaseId) + " is given two ways"},
        {Wfp(Filter(7, 0, other, other_lease, R"(,"key":"x")")), "bad `key` at line 1"},
        {Wfp(Filter(7, 4, other, other_lease)), "`slot` is not 0, 1, 2 or 3"},
        {Wfp(Filter(7, 0, "Telvo.Sandbox.x", other_lease)), "bad `profile` at line 1"},
        {Wfp(Filter(7, 0, other, "not-a-uuid")), "bad `leaseId` at line 1"},
        {Wfp(Filter(7, 0, other, kLeaseId)), "lease " + std::string(kLeaseId) + " is given two ways"},
        {Wfp(Filter(7, 0, kLeaseProfile, other_lease)), "profile " + std::string(kLeaseProfile) + " has two leases"},
        {Wfp(Filter(7, 1)), "slot 1 of lease " + std::string(kLeaseId) + " is given twice"},
        {R"(,"wfp":{"provider":true,"sublayer":true,"filters":[)" + Filter(7, 0) + "," + Filter(8, 1) + "," + Filter(9, 2) + "]}",
         "lease " + std::string(kLeaseId) + " has no filter for slot 3"},
        // The engine refuses what the product's own code would never install.
        {Wfp(Filter(7, 0, other, other_lease, "", R"(,"ownerSid":"S-1-5-21-01")")), "lease " + other_lease},
    };
    for (const auto& [wfp, message] : cases) {
        EXPECT_NE(Refusal(Host(wfp)).find(message), std::string::npos) << wfp << "\n=> " << Refusal(Host(wfp));
    }
    // No service runs on this host: every lease stays, with the record the file gives and the product builds.
    auto whole = ReadHostFile(Host(Wfp(Filter(7, 0, other, other_lease, R"(,"key":"11111111-2222-4333-8444-555555555555")",
                                              R"(,"ownerSid":"S-1-5-21-9-9-9-1001","callerPid":4242,"callerCreation":88)",
                                              "8c1e0a52-6f1c-4d4e-9a1b-0c2d3e4f5a6b") +
                                       "," + Filter(8, 1, other, other_lease, "", R"(,"ownerSid":"S-1-5-21-9-9-9-1001","callerPid":4242,"callerCreation":88)", "8c1e0a52-6f1c-4d4e-9a1b-0c2d3e4f5a6b") +
                                       "," + Filter(9, 2, other, other_lease, "", R"(,"ownerSid":"S-1-5-21-9-9-9-1001","callerPid":4242,"callerCreation":88)", "8c1e0a52-6f1c-4d4e-9a1b-0c2d3e4f5a6b") +
                                       "," + Filter(10, 3, other, other_lease, "", R"(,"ownerSid":"S-1-5-21-9-9-9-1001","callerPid":4242,"callerCreation":88)", "8c1e0a52-6f1c-4d4e-9a1b-0c2d3e4f5a6b"))));
    ASSERT_TRUE(whole) << whole.error().Display();
    const auto leases = Leases(*whole->host);
    ASSERT_EQ(leases.size(), 2u);
    const auto& given = leases[0].record;
    EXPECT_EQ(given.profile_name, other);
    EXPECT_EQ(given.owner_sid, "S-1-5-21-9-9-9-1001");
    EXPECT_EQ(given.caller_pid, 4242u);
    EXPECT_EQ(given.caller_creation, 88u);
    EXPECT_EQ(given.boot_id, "8c1e0a52-6f1c-4d4e-9a1b-0c2d3e4f5a6b");
    EXPECT_EQ(given.filter_keys[0], "11111111-2222-4333-8444-555555555555");
    const auto& defaulted = leases[1].record;
    EXPECT_EQ(defaulted.owner_sid, "S-1-5-21-1-2-3-1001");  // the host's user
    EXPECT_EQ(defaulted.caller_pid, kDefaultCallerPid);
    EXPECT_EQ(defaulted.caller_creation, kDefaultCallerCreation);
    EXPECT_EQ(defaulted.boot_id, kDefaultBootId);
    for (const auto& key : defaulted.filter_keys) EXPECT_TRUE(identity::ParseCanonicalUuid(key)) << key;
    // The boot is the file's (the default one here), whatever boots the leases name.
    EXPECT_EQ(offline_network::GuidText(whole->host->wfp().BootIdentifier()), kDefaultBootId);

    // A provider alone: the partial layout that the service and the host commands refuse to repair.
    auto partial = ReadHostFile(Host(R"(,"wfp":{"provider":true,"sublayer":false,"filters":[]})"));
    ASSERT_TRUE(partial) << partial.error().Display();
    EXPECT_TRUE(partial->host->wfp().Provider(offline_network::kProviderKey));
    EXPECT_FALSE(partial->host->wfp().Sublayer(offline_network::kSublayerKey));
    auto written = WriteHostFile(*partial->host);
    ASSERT_TRUE(written) << written.error().Display();
    EXPECT_NE(written->find(R"("provider": true,)" "\n" R"(    "sublayer": false)"), std::string::npos) << *written;
}

TEST(HostFile, StateReadsBackAsTheSameHost) {
    // The default host, with a lease that its service keeps retained.
    std::string text(DefaultHostFile());
    const std::string layout = R"("wfp": {"provider": true, "sublayer": true, "filters": []},)";
    ASSERT_NE(text.find(layout), std::string::npos);
    text.replace(text.find(layout), layout.size(), Wfp("").substr(1) + ",");
    auto first = ReadHostFile(text);
    ASSERT_TRUE(first) << first.error().Display();
    auto written = WriteHostFile(*first->host);
    ASSERT_TRUE(written) << written.error().Display();
    auto second = ReadHostFile(*written);
    ASSERT_TRUE(second) << second.error().Display() << "\n" << *written;
    auto rewritten = WriteHostFile(*second->host);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(*rewritten, *written);
    // Every object carries its whole descriptor once written.
    EXPECT_NE(written->find("\"path\": \"C:\\\\Users\\\\alice\\\\work\\\\src\\\\main.js\""), std::string::npos);
    EXPECT_EQ(second->host->files().SecurityDescriptorOf(u"C:\\Users\\alice\\work\\src\\main.js").value(),
              first->host->files().SecurityDescriptorOf(u"C:\\Users\\alice\\work\\src\\main.js").value());
    const auto leases = Leases(*first->host);
    ASSERT_EQ(leases.size(), 1u);
    EXPECT_EQ(Leases(*second->host), leases);
    EXPECT_EQ(leases[0].record.owner_sid, kAlice);
}

std::string IdText(std::uint64_t id) {
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(id));
    return text;
}

// A run's journal names its objects by volume serial and file id: the ids
// must survive a state file, and a new object must not take one of them.
TEST(HostFile, FileIdsSurviveTheStateAndStayUnique) {
    auto first = ReadHostFile(Host(R"(,"objects":[{"path":"C:\\a","kind":"directory"},)"
                                   R"({"path":"C:\\b","kind":"file","fileId":"0x0001000000000777"}])"));
    ASSERT_TRUE(first) << first.error().Display();
    auto& files = first->host->files();
    ASSERT_TRUE(files.MakeDirectory(u"C:\\c"));
    const auto a = files.Lookup(u"C:\\a")->file_index;
    const auto b = files.Lookup(u"C:\\b")->file_index;
    const auto c = files.Lookup(u"C:\\c")->file_index;
    EXPECT_EQ(b, 0x0001000000000777u);
    EXPECT_GT(c & 0xFFFFFFFFFFFF, 0x777u);
    auto second = ReadHostFile(WriteHostFile(*first->host).value());
    ASSERT_TRUE(second) << second.error().Display();
    EXPECT_EQ(second->host->files().Lookup(u"C:\\a")->file_index, a);
    EXPECT_EQ(second->host->files().Lookup(u"C:\\c")->file_index, c);

    EXPECT_NE(Refusal(Host(R"(,"objects":[{"path":"C:\\a","kind":"directory"},)"
                           R"({"path":"C:\\b","kind":"file","fileId":")" + IdText(a) + R"("}])"))
                  .find("`fileId` is the id of C:\\a too"),
              std::string::npos);
    EXPECT_NE(Refusal(Host(R"(,"objects":[{"path":"C:\\a","kind":"file","fileId":"0x77"}])")).find("16 hexadecimal digits"),
              std::string::npos);
    EXPECT_NE(Refusal(Host(R"(,"objects":[{"path":"C:\\a","kind":"file","fileId":"0x0000000000000000"}])"))
                  .find("`fileId` 0 is no file id"),
              std::string::npos);
}

TEST(HostFile, StateOfAHostBuiltThroughTheSeamReadsBack) {
    SimHost host;
    host.system().SetSystemDirectory(u"C:\\Windows\\System32");
    host.security().SetProcessToken(
        platform::sim::SimToken::InteractiveUser(winformat::Sid::Parse("S-1-5-21-7-8-9-1001").value(), true, true));
    host.files().AddVolume({});
    platform::sim::SimVolumeSpec removable;
    removable.root = u"E:";
    removable.drive_type = platform::drive_type::kRemovable;
    removable.file_system_flags = platform::volume_flag::kCasePreservedNames;
    removable.file_system_name = u"FAT32";
    host.files().AddVolume(removable);
    host.files().AddSubstDrive(u'S', u"\\\\?\\C:\\d");
    ASSERT_TRUE(host.files().MakeDirectory(u"C:\\d"));
    ASSERT_TRUE(host.files().MakeFile(u"C:\\d\\f", "text"));
    ASSERT_TRUE(host.files().MakeHardLink(u"C:\\d\\f", u"C:\\d\\g"));
    ASSERT_TRUE(host.files().MakeJunction(u"C:\\j", u"\\\\?\\C:\\d"));
    ASSERT_TRUE(host.files().MakeSymlink(u"C:\\d\\s", u"\\\\?\\C:\\d\\f", false));
    // A DACL changed through the seam, and a child that inherited its descriptor.
    ASSERT_TRUE(host.files().SetSecurityDescriptor(
        u"C:\\d", winformat::ParseSddl("O:BAD:PAI(A;OICI;FA;;;BA)(A;CIIO;0x1200a9;;;AC)").value().ToSelfRelative()));
    ASSERT_TRUE(host.files().MakeDirectory(u"C:\\d\\child"));
    host.system().registry().Set(u"K", u"Bin", platform::registry_type::kBinary, {1, 2, 0xFF});
    host.system().registry().Set(u"K", u"Odd", platform::registry_type::kSz, {0x41});
    host.appcontainer().PlantProfile(u"telvo.run.1", u"d", u"x", {{winformat::Sid::Parse("S-1-15-3-1").value(), 4}});
    auto held = host.sync().PlantMutex(u"Global\\held", winformat::ParseSddl("O:SYD:(A;;0x1f0001;;;WD)").value().ToSelfRelative());
    held->HoldByOtherProcess();
    auto abandoned = host.sync().PlantMutex(u"Global\\gone", {});
    abandoned->HoldByOtherProcess();
    abandoned->AbandonByOtherProcess();
    // What a run needs, which the reader would make otherwise.
    for (const auto* directory : {u"C:\\Windows", u"C:\\Windows\\System32", u"C:\\Users", u"C:\\Users\\tester",
                                  u"C:\\Users\\tester\\AppData", u"C:\\Users\\tester\\AppData\\Local",
                                  u"C:\\Users\\tester\\AppData\\Local\\Packages"}) {
        ASSERT_TRUE(host.files().MakeDirectory(directory));
    }
    ASSERT_TRUE(host.files().MakeFile(u"C:\\Windows\\System32\\cmd.exe", "MZ"));
    host.processes().Script(CommandLineOf(u"C:\\Windows\\System32", u"slow"),
                            {step::SurviveTermination{500}, step::File{step::File::Action::list, u"C:\\d", ""}, step::Exit{0}});
    host.processes().Script(CommandLineOf(u"C:\\Windows\\System32", u"parent"),
                            {step::StartChild{CommandLineOf(u"C:\\Windows\\System32", u"slow")}, step::Exit{2}});

    auto written = WriteHostFile(host);
    ASSERT_TRUE(written) << written.error().Display();
    auto loaded = ReadHostFile(*written);
    ASSERT_TRUE(loaded) << loaded.error().Display() << "\n" << *written;
    auto again = WriteHostFile(*loaded->host);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *written);

    SimHost& copy = *loaded->host;
    EXPECT_TRUE(copy.security().ProcessToken().elevated);
    EXPECT_EQ(copy.files().SecurityDescriptorOf(u"C:\\d\\child").value(),
              host.files().SecurityDescriptorOf(u"C:\\d\\child").value());
    EXPECT_EQ(Sddl(copy.files().SecurityDescriptorOf(u"C:\\d\\child").value()),
              "O:BAG:" + copy.security().ProcessToken().primary_group.ToString() +
                  "D:AI(A;OICIID;FA;;;BA)(A;CIID;0x1200a9;;;AC)");
    EXPECT_EQ(copy.files().Lookup(u"C:\\d\\g").value().link_count, 2u);
    EXPECT_EQ(copy.files().Lookup(u"C:\\j").value().reparse_tag, platform::reparse_tag::kMountPoint);
    EXPECT_EQ(copy.files().SubstDrives().at(u'S'), u"\\\\?\\C:\\d");
    EXPECT_EQ(copy.files().Volumes().at(1).file_system_flags, platform::volume_flag::kCasePreservedNames);
    EXPECT_TRUE(copy.sync().FindMutex(u"Global\\held")->IsOwned());
    EXPECT_TRUE(copy.sync().FindMutex(u"Global\\gone")->IsAbandoned());
    ASSERT_NE(copy.appcontainer().FindProfile(u"telvo.run.1"), nullptr);
    EXPECT_EQ(copy.appcontainer().FindProfile(u"telvo.run.1")->capabilities.at(0).attributes, 4u);
    EXPECT_NE(written->find("\"hex\": \"0102ff\""), std::string::npos);
    EXPECT_NE(written->find("\"hex\": \"41\""), std::string::npos);  // odd bytes stay bytes
}

TEST(HostFile, RefusesToWriteWhatItCannotDescribe) {
    SimHost host;
    host.files().AddVolume({});
    host.processes().Script(u"plain", {});
    EXPECT_FALSE(WriteHostFile(host));
    SimHost unreadable;
    unreadable.files().AddVolume({});
    ASSERT_TRUE(unreadable.files().MakeFile(u"C:\\bin", std::string("\xff\xfe", 2)));
    EXPECT_FALSE(WriteHostFile(unreadable));
    SimHost calling;
    calling.files().AddVolume({});
    calling.processes().Script(CommandLineOf(calling.system().SystemDirectory(), u"h"),
                               {step::HostCall{[](platform::sim::SimProcess&) {}}});
    EXPECT_FALSE(WriteHostFile(calling));
}

}  // namespace
}  // namespace telvo::telvo_sim

namespace telvo::telvo_sim {
namespace {

TEST(HostFile, AStoppedServiceHasNoProcessId) {
    std::string text(DefaultHostFile());
    const std::string running = R"("state": "running", "processId": 812)";
    ASSERT_NE(text.find(running), std::string::npos);
    std::string stopped = text;
    stopped.replace(stopped.find(running), running.size(), R"("state": "stopped", "processId": 812)");
    EXPECT_NE(Refusal(stopped).find("a stopped service has no process id"), std::string::npos) << Refusal(stopped);
    stopped.replace(stopped.find(R"("processId": 812)"), 16, R"("processId": 0)");
    EXPECT_TRUE(ReadHostFile(stopped)) << Refusal(stopped);
}

}  // namespace
}  // namespace telvo::telvo_sim
