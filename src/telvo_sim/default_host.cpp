#include "telvo_sim/host_file.h"

namespace telvo::telvo_sim {

namespace {

// Windows 11 after the host preparation: the fixed metadata targets (C:\ and
// C:\Users) grant the package groups their metadata entry, the null device
// admits the sandboxes' capability (until the next reboot), the offline
// network service is installed and running from Program Files, and alice, a
// standard user, has a workspace with a private-path candidate (.zanth) and
// a node_modules\.bin.
constexpr std::string_view kDefaultHost = R"json({
  "format": "telvo-sim-host/1",
  "boot": {"id": "2f5d0c6e-8a41-4b7e-9d3c-51a0e6b4c7f2"},
  "nullDevice": {"sd": "O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;S-1-15-3-1024-976252903-613338230-2218592181-1636912795-336969149-1771632629-584239815-2155474567)S:(ML;;NW;;;LW)"},
  "system": {"windowsDirectory": "C:\\Windows", "systemDirectory": "C:\\Windows\\System32"},
  "user": {
    "name": "alice",
    "sid": "S-1-5-21-1004336348-1177238915-682003330-1001",
    "administrator": false,
    "elevated": false,
    "profile": "C:\\Users\\alice",
    "localAppData": "C:\\Users\\alice\\AppData\\Local"
  },
  "accounts": [
    {"name": "TrustedInstaller", "sid": "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"}
  ],
  "volumes": [
    {
      "drive": "C:", "type": "fixed", "serial": "0x2c5e1a07", "fileSystem": "NTFS",
      "flags": ["caseSensitiveSearch", "casePreservedNames", "unicodeOnDisk", "persistentAcls", "reparsePoints", "hardLinks"],
      "device": "\\Device\\HarddiskVolume3",
      "sd": "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;0x1301bf;;;AU)(A;;DC;;;AU)(A;;0x120088;;;AC)(A;;0x120088;;;S-1-15-2-2)"
    }
  ],
  "objects": [
    {"path": "C:\\Windows", "kind": "directory",
     "sd": "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464G:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI(A;OICI;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;OICI;0x1301bf;;;SY)(A;OICI;0x1301bf;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;AC)(A;OICI;0x1200a9;;;S-1-15-2-2)"},
    {"path": "C:\\Windows\\System32", "kind": "directory"},
    {"path": "C:\\Windows\\System32\\cmd.exe", "kind": "file", "content": "MZ"},
    {"path": "C:\\Program Files", "kind": "directory",
     "sd": "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464G:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI(A;OICI;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;AC)(A;OICI;0x1200a9;;;S-1-15-2-2)"},
    {"path": "C:\\Program Files\\TelvoOfflineNetwork", "kind": "directory",
     "sd": "O:BAG:SYD:AI(A;OICIID;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIID;0x1200a9;;;AC)(A;OICIID;0x1200a9;;;S-1-15-2-2)"},
    {"path": "C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe", "kind": "file", "content": "MZ",
     "sd": "O:BAG:SYD:AI(A;ID;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;AC)(A;ID;0x1200a9;;;S-1-15-2-2)"},
    {"path": "C:\\Users", "kind": "directory",
     "sd": "O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;BU)(A;;0x1200a9;;;WD)(A;;0x120088;;;AC)(A;;0x120088;;;S-1-15-2-2)"},
    {"path": "C:\\Users\\alice", "kind": "directory",
     "sd": "O:S-1-5-21-1004336348-1177238915-682003330-1001G:S-1-5-21-1004336348-1177238915-682003330-1001D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1004336348-1177238915-682003330-1001)"},
    {"path": "C:\\Users\\alice\\AppData", "kind": "directory"},
    {"path": "C:\\Users\\alice\\AppData\\Local", "kind": "directory"},
    {"path": "C:\\Users\\alice\\AppData\\Local\\Packages", "kind": "directory"},
    {"path": "C:\\Users\\alice\\work", "kind": "directory"},
    {"path": "C:\\Users\\alice\\work\\README.md", "kind": "file", "content": "# work\n"},
    {"path": "C:\\Users\\alice\\work\\package.json", "kind": "file", "content": "{\"name\": \"work\"}\n"},
    {"path": "C:\\Users\\alice\\work\\src", "kind": "directory"},
    {"path": "C:\\Users\\alice\\work\\src\\main.js", "kind": "file", "content": "console.log('hello');\n"},
    {"path": "C:\\Users\\alice\\work\\.zanth", "kind": "directory"},
    {"path": "C:\\Users\\alice\\work\\.zanth\\session.key", "kind": "file", "content": "not for the sandbox\n"},
    {"path": "C:\\Users\\alice\\work\\node_modules", "kind": "directory"},
    {"path": "C:\\Users\\alice\\work\\node_modules\\.bin", "kind": "directory"},
    {"path": "C:\\Users\\alice\\work\\node_modules\\.bin\\tool.cmd", "kind": "file", "content": "@echo tool\r\n"}
  ],
  "registry": [
    {"key": "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", "name": "ProfilesDirectory",
     "type": "REG_EXPAND_SZ", "text": "%SystemDrive%\\Users\u0000"},
    {"key": "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "name": "ProgramFilesDir",
     "type": "REG_SZ", "text": "C:\\Program Files\u0000"}
  ],
  "services": [
    {"name": "TelvoOfflineNetwork", "displayName": "Telvo offline network",
     "binaryPath": "\"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe\" --network-service",
     "serviceType": 16, "startType": 2, "errorControl": 1, "startName": "LocalSystem",
     "state": "running", "processId": 812, "controlsAccepted": 1,
     "sd": "O:SYG:SYD:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;AU)"}
  ],
  "wfp": {"provider": true, "sublayer": true, "filters": []},
  "commands": {
    "echo hello": {"steps": [], "exitCode": 0},
    "type README.md": {"steps": [{"read": "C:\\Users\\alice\\work\\README.md"}], "exitCode": 0},
    "build": {
      "steps": [
        {"list": "C:\\Users\\alice\\work\\src"},
        {"mkdir": "C:\\Users\\alice\\work\\out"},
        {"write": "C:\\Users\\alice\\work\\out\\main.js", "text": "console.log('hello');\n"}
      ],
      "exitCode": 0
    },
    "peek": {
      "steps": [
        {"read": "C:\\Users\\alice\\work\\.zanth\\session.key"},
        {"write": "C:\\Users\\alice\\work\\notes.txt", "text": "peeked\n"}
      ],
      "exitCode": 0
    },
    "serve": {"steps": [{"spawn": "watch"}], "exitCode": 0},
    "watch": {"steps": [{"ignoreTermination": 2000}], "exitCode": 0}
  }
})json";

}  // namespace

std::string_view DefaultHostFile() { return kDefaultHost; }

}  // namespace telvo::telvo_sim
