// SPDX-License-Identifier: Apache-2.0
// The dialog state of a line as NOTIFY bodies carry it (application/dialog-info+xml): the
// body this side writes for its own line, and a small bounded reader of the bodies a
// contact sends, reduced to the contact's state (a lamp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::sip {

inline constexpr std::string_view kDialogInfoType = "application/dialog-info+xml";

// What a lamp shows, from the least to the most occupied.
enum class LineState { Idle, Ringing, Busy, DoNotDisturb };
std::string_view lineStateName(LineState state);

struct DialogEntry {
  std::string id;
  std::string state;      // trying, proceeding, early, confirmed or terminated
  std::string direction;  // initiator or recipient; empty: not said
  bool doNotDisturb = false;
  bool operator==(const DialogEntry&) const = default;
};

struct DialogInfo {
  uint32_t version = 0;
  bool full = true;  // state="full"; false: "partial"
  std::string entity;
  std::vector<DialogEntry> dialogs;
  bool operator==(const DialogInfo&) const = default;
};

// Do-not-disturb is a dialog of id "dnd" in state confirmed that holds the element
// <dnd xmlns="urn:x-quillet:params:xml:ns:dnd"/>: any watcher shows the line busy, and a
// watcher that knows the element shows do-not-disturb.
inline constexpr std::string_view kDoNotDisturbId = "dnd";
inline constexpr std::string_view kDoNotDisturbNamespace = "urn:x-quillet:params:xml:ns:dnd";

// The document for `info` (UTF-8, attribute and text values escaped).
std::string writeDialogInfo(const DialogInfo& info);

// Limits of the reader: larger or deeper documents, or more dialogs, are refused.
inline constexpr size_t kMaxDialogInfoBytes = 65536;
inline constexpr size_t kMaxDialogInfoDepth = 16;
inline constexpr size_t kMaxDialogInfoDialogs = 64;

// Reads a document; nothing when it is not well formed (unbalanced or unknown markup,
// DOCTYPE, bad attributes), over a limit, or its root is not dialog-info. Namespace
// prefixes are ignored; elements it does not know are skipped.
std::optional<DialogInfo> parseDialogInfo(std::string_view body);

// The state a lamp shows for a document: do-not-disturb, else busy when a dialog is
// confirmed, ringing when one is trying, proceeding or early, idle otherwise.
LineState lineStateOf(const DialogInfo& info);

}  // namespace quillet::sip
