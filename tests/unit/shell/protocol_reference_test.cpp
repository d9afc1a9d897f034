// The host protocol reference (docs/protocol.md) against the program: every table of names there
// holds exactly the names the program uses (read from the program's own tables, or from what it
// answers where a set exists only as the answers it gives), every table of rows exactly the
// program's rows, and every table of payload fields exactly what the payload decoders accept and
// require. A name added on either side alone fails here.
//
// A table is marked by the comment line in front of it: "<!-- names: SET -->" (the first cell of
// each row holds a name in backticks), "<!-- rows: SET -->" (the cells are compared, backticks
// and quotation marks dropped) or "<!-- fields: PAYLOAD -->" (field, type, required, range).

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "discovery/device_events.hpp"
#include "discovery/discovered_device.hpp"
#include "engine/core/session_error.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_state.hpp"
#include "engine/core/session_warning.hpp"
#include "shell/capabilities.hpp"
#include "shell/core_event_pump.hpp"
#include "shell/payloads.hpp"
#include "shell/protocol_error.hpp"
#include "shell/session_error_object.hpp"
#include "shell/session_report_json.hpp"
#include "tests/unit/shell/shell_harness.hpp"

namespace kestrune::shell::testing {
namespace {

using Row = std::vector<std::string>;
using Names = std::set<std::string>;

struct Table {
  std::string kind;  // names, rows or fields
  std::vector<Row> rows;
};

std::string trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

Row cells_of(const std::string& line) {
  Row cells;
  std::stringstream stream(line.substr(1));  // after the leading '|'
  for (std::string cell; std::getline(stream, cell, '|');) cells.push_back(trimmed(cell));
  return cells;
}

// Every marked table of the reference, by its set's name.
std::map<std::string, Table> reference_tables() {
  std::ifstream file(KESTRUNE_PROTOCOL_REFERENCE);
  EXPECT_TRUE(file) << "cannot read " << KESTRUNE_PROTOCOL_REFERENCE;
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  const std::regex marker(R"(<!-- (names|rows|fields): (\S+) -->)");
  std::map<std::string, Table> tables;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::smatch found;
    if (!std::regex_match(lines[i], found, marker)) continue;
    Table table{found[1], {}};
    std::size_t at = i + 1;
    while (at < lines.size() && lines[at].starts_with('|')) {
      if (at >= i + 3) table.rows.push_back(cells_of(lines[at]));  // after header and rule
      ++at;
    }
    EXPECT_FALSE(table.rows.empty()) << "no table after " << lines[i];
    EXPECT_TRUE(tables.emplace(found[2], std::move(table)).second) << "twice: " << lines[i];
  }
  return tables;
}

const std::map<std::string, Table>& tables() {
  static const auto all = reference_tables();
  return all;
}

const Table& table(const std::string& name) {
  static const Table none;
  const auto found = tables().find(name);
  EXPECT_NE(found, tables().end()) << "the reference has no table " << name;
  return found == tables().end() ? none : found->second;
}

// The text in the first pair of backticks of a cell; the cell itself when it has none.
std::string quoted_name(const std::string& cell) {
  const auto open = cell.find('`');
  const auto close = open == std::string::npos ? open : cell.find('`', open + 1);
  return close == std::string::npos ? cell : cell.substr(open + 1, close - open - 1);
}

Names reference_names(const std::string& set) {
  Names names;
  for (const Row& row : table(set).rows) {
    EXPECT_TRUE(names.insert(quoted_name(row.at(0))).second) << set << ": twice " << row.at(0);
  }
  return names;
}

// A cell as plain text: without backticks and without the quotation marks around it.
std::string plain(std::string cell) {
  std::erase(cell, '`');
  if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') {
    cell = cell.substr(1, cell.size() - 2);
  }
  return cell;
}

std::vector<Row> reference_rows(const std::string& set, std::size_t columns) {
  std::vector<Row> rows;
  for (const Row& row : table(set).rows) {
    Row compared;
    for (std::size_t c = 0; c < columns && c < row.size(); ++c) compared.push_back(plain(row[c]));
    rows.push_back(compared);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

template <class Strings>
Names names_of(const Strings& strings) {
  Names names;
  for (const auto& name : strings) names.insert(std::string(name));
  return names;
}

Names keys_of(const nlohmann::json& object) {
  Names names;
  for (const auto& [key, value] : object.items()) names.insert(key);
  return names;
}

Names array_names(const nlohmann::json& array) {
  Names names;
  for (const auto& name : array) names.insert(name.get<std::string>());
  return names;
}

// Every ProtocolError the program declares (TheProtocolErrorsAreTheProgramsOwn checks that none
// is missing).
std::vector<const ProtocolError*> all_protocol_errors() {
  using namespace protocol_errors;
  return {&kInputTooLarge,           &kMalformedJson,       &kInvalidEnvelope,
          &kUnsupportedVersion,      &kInvalidType,         &kInvalidRequestId,
          &kInvalidCommandName,      &kPayloadNotObject,    &kInvalidPayload,
          &kUnknownCommand,          &kNotAvailable,        &kNoActiveSession,
          &kInvalidDiscoveryTimeout, &kDiscoveryIncomplete, &kDiscoveryResultUnusable,
          &kEventPumpFailed};
}

// The names of the program's sets that the reference tabulates.
TEST(ProtocolReference, EveryTableOfNamesHoldsExactlyTheProgramsNames) {
  const nlohmann::json capabilities = capabilities_to_json();
  Names events = array_names(capabilities["events"]);
  events.merge(array_names(capabilities["reservedEvents"]));

  Names warning_codes = names_of(engine::kWarningCodeNames);
  warning_codes.insert(std::string(discovery::kInterfaceFailedCode));
  {  // The overflow notice's code is the event pump's own.
    OutputQueue queue;
    SessionSnapshot snapshot;
    ASSERT_TRUE(translate_core_event(engine::SessionOverflowNotice{1, 0, {}}, queue, snapshot));
    warning_codes.insert(queue.pop().value()["payload"]["code"].get<std::string>());
  }

  Names protocol_stages;
  for (const ProtocolError* error : all_protocol_errors()) {
    protocol_stages.insert(std::string(error->stage));
  }

  const std::map<std::string, Names> program = {
      {"capabilities", keys_of(capabilities)},
      {"limits", keys_of(capabilities["limits"])},
      {"events", events},
      {"states", names_of(engine::kSessionStateNames)},
      {"reasons", names_of(engine::kTransitionReasonNames)},
      {"session-stages", names_of(engine::kSessionStageNames)},
      {"protocol-stages", protocol_stages},
      {"warning-codes", warning_codes},
      {"metrics", keys_of(metrics_to_json(engine::SessionReport{}))},
      {"shutdown-evidence", keys_of(shutdown_evidence_to_json(engine::SessionReport{}))},
      {"request-outcomes", names_of(engine::kRequestOutcomeNames)},
      {"cleanup-outcomes", names_of(engine::kCleanupOutcomeNames)},
      {"expiry-reasons", Names{std::string(discovery::kRenewalMissReason),
                               std::string(discovery::kAuthoritativeRemovalReason)}},
      {"scanned-device", keys_of(discovery::device_to_json(discovery::DiscoveredDevice{}))},
  };
  for (const auto& [set, names] : program) {
    EXPECT_EQ(reference_names(set), names) << "the reference's table " << set;
  }
}

// Each command with the capabilities list it is in; each is dispatched (an unknown name would be
// answered unknown_command), and a name the table lacks is not.
TEST(ProtocolReference, TheCommandsAreTheOnesDispatchedAndPublished) {
  const nlohmann::json capabilities = capabilities_to_json();
  std::vector<Row> program;
  for (const char* list : {"availableCommands", "unavailableCommands"}) {
    for (const auto& name : capabilities[list]) program.push_back({name.get<std::string>(), list});
  }
  std::sort(program.begin(), program.end());
  EXPECT_EQ(reference_rows("commands", 2), program);

  ShellHarness shell;
  std::size_t id = 0;
  const auto code_for = [&](const std::string& name) {
    const std::string request = "c" + std::to_string(++id);
    (void)shell.run(command(name, R"({"undocumentedMember":1})", request));
    for (const json& line : shell.wait_for_response(request)) {
      if (is_response(line, request)) return line["error"]["code"].get<std::string>();
    }
    return std::string();
  };
  for (const std::string& name : reference_names("commands")) {
    EXPECT_EQ(code_for(name), "invalid_request") << name;
  }
  EXPECT_EQ(code_for("helloo"), "unknown_command");
}

// Every protocol error the program can answer with, as code, stage, retryable and message.
TEST(ProtocolReference, TheProtocolErrorsAreTheProgramsOwn) {
  const std::vector<const ProtocolError*> errors = all_protocol_errors();
  // all_protocol_errors lists every ProtocolError the program declares: one declared there and
  // not listed here makes the counts differ.
  std::ifstream header(KESTRUNE_SOURCE_DIR "/src/shell/protocol_error.hpp");
  std::stringstream text;
  text << header.rdbuf();
  const std::string source = text.str();
  const std::regex declaration(R"(inline constexpr ProtocolError k\w+)");
  EXPECT_EQ(
      static_cast<std::size_t>(std::distance(
          std::sregex_iterator(source.begin(), source.end(), declaration), std::sregex_iterator())),
      errors.size());

  std::vector<Row> program;
  for (const ProtocolError* error : errors) {
    program.push_back({std::string(error->code), std::string(error->stage),
                       error->retryable ? "true" : "false", std::string(error->safeMessage)});
  }
  std::sort(program.begin(), program.end());
  EXPECT_EQ(reference_rows("protocol-errors", 4), program);
}

// Every session error code with its message, the stage it shows and whether it passes its
// retryable flag on, as the host sees them.
TEST(ProtocolReference, TheSessionErrorsAreShownAsTheReferenceSays) {
  std::vector<Row> program;
  for (std::size_t code = 0; code < engine::kSessionErrorKindNames.size(); ++code) {
    const engine::SessionError error{static_cast<engine::SessionErrorKind>(code),
                                     engine::SessionStage::validate_config, true};
    const nlohmann::json shown = session_error_to_json(error);
    const std::string stage = shown["stage"].get<std::string>();
    program.push_back({shown["code"].get<std::string>(), shown["safeMessage"].get<std::string>(),
                       stage == "validate_config" ? "its stage" : stage,
                       shown["retryable"].get<bool>() ? "its flag" : "false"});
  }
  std::sort(program.begin(), program.end());
  EXPECT_EQ(reference_rows("session-errors", 4), program);
}

// How the process ends, as the command loop reports it.
TEST(ProtocolReference, TheShutdownReasonsAreTheCommandLoopsOwn) {
  Names reasons;
  {
    ShellHarness shell;
    shell.start_loop();
    reasons.insert(std::string(shell.end_loop().reason));
  }
  {
    ShellHarness shell;
    shell.start_loop();
    shell.send(command("shutdown"));
    reasons.insert(std::string(shell.end_loop(false).reason));
  }
  {
    ShellHarness shell;
    shell.start_loop();
    shell.queue().close();
    reasons.insert(std::string(shell.end_loop(false).reason));
  }
  EXPECT_EQ(reference_names("shutdown-reasons"), reasons);
}

using Decoder = bool (*)(const nlohmann::json&);
template <class Payload, PayloadResult<Payload> (*Decode)(const nlohmann::json&)>
bool decodes(const nlohmann::json& value) {
  // As the value would come from a line: a number written 1 is then an unsigned integer.
  return Decode(nlohmann::json::parse(value.dump())).has_value();
}

const std::map<std::string, Decoder>& decoders() {
  static const std::map<std::string, Decoder> all = {
      {"scan", &decodes<ScanPayload, &decode_scan_payload>},
      {"setVolume", &decodes<SetVolumePayload, &decode_set_volume_payload>},
      {"startSession", &decodes<StartSessionPayload, &decode_start_session_payload>},
      {"device", &decodes<DevicePayload, &decode_device_payload>},
      {"audioSource", &decodes<AudioSourcePayload, &decode_audio_source_payload>},
      {"bufferProfile", &decodes<BufferProfilePayload, &decode_buffer_profile_payload>},
      {"diagnose", &decodes<DiagnosePayload, &decode_diagnose_payload>},
      {"exportDiagnostics", &decodes<ExportDiagnosticsPayload, &decode_export_diagnostics_payload>},
  };
  return all;
}

// A value of the type a fields table gives: the table of a nested object, the first quoted text
// of the range column for a string ("file"), 1 for an integer, 0.5 for a number.
nlohmann::json sample_value(const Row& field);

nlohmann::json sample_payload(const std::string& name) {
  nlohmann::json payload = nlohmann::json::object();
  for (const Row& field : table(name).rows) payload[quoted_name(field.at(0))] = sample_value(field);
  return payload;
}

nlohmann::json sample_value(const Row& field) {
  const std::string& type = field.at(1);
  if (type.starts_with("object")) return sample_payload(quoted_name(type));
  if (type.starts_with("array of strings")) return nlohmann::json::array({"x"});
  if (type.starts_with("unsigned")) return 1;
  if (type == "number") return 0.5;
  EXPECT_EQ(type, "string") << "a type the test does not know";
  const std::string& range = field.at(3);
  const auto open = range.find('"');
  const auto close = open == std::string::npos ? open : range.find('"', open + 1);
  return close == std::string::npos ? std::string("x") : range.substr(open + 1, close - open - 1);
}

// For every payload the reference tabulates: all its fields decode, leaving out a required one
// fails, leaving out an optional one does not, and a field the table does not have fails.
TEST(ProtocolReference, ThePayloadFieldsAreTheOnesTheDecodersTake) {
  Names tabulated;
  for (const auto& [name, table] : tables()) {
    if (table.kind == "fields") tabulated.insert(name);
  }
  Names decoded;
  for (const auto& [name, decode] : decoders()) decoded.insert(name);
  EXPECT_EQ(tabulated, decoded);  // a decoder for every table, a table for every decoder

  for (const auto& [name, decode] : decoders()) {
    SCOPED_TRACE(name);
    const nlohmann::json full = sample_payload(name);
    EXPECT_TRUE(decode(full)) << full.dump();
    for (const Row& field : table(name).rows) {
      nlohmann::json without = full;
      without.erase(quoted_name(field.at(0)));
      EXPECT_EQ(decode(without), field.at(2) == "no") << "without " << field.at(0);
    }
    nlohmann::json more = full;
    more["undocumentedField"] = 1;
    EXPECT_FALSE(decode(more));
  }
}

}  // namespace
}  // namespace kestrune::shell::testing
