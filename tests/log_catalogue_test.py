#!/usr/bin/env python3
"""The log catalogue check (cmake/check-log-catalogue.py) on small source
trees: which texts it finds, and which drift between the sources and the
guide it reports.

    log_catalogue_test.py CHECK_SCRIPT
"""
import importlib.util
import pathlib
import sys
import tempfile
import unittest

CHECK = None  # the check's module, loaded in main()

GUIDE_HEAD = "# Guide\n\n<!-- log-catalogue -->\n| Line | Meaning |\n|---|---|\n"
GUIDE_TAIL = "<!-- /log-catalogue -->\n"

# A relay file with the shapes the product uses: a prefix built by a helper
# (for a failure line and for a "No answer" line), helpers that take the
# reason, a catch helper taking a prefix and a lambda, adjacent literals, a
# throw, a comment and an include.
RELAY = r'''
#include "log/ProcessLog.h"   // "not a log text"
namespace {
std::string SessionPrefix(const char* Operation, int32_t SessionACT) {
  return std::string(Operation) + " [SessionACT=" + IntegerToText(SessionACT) + "]";
}
template <typename TBody>
void Guarded(const std::string& Prefix, TBody&& Body) noexcept {
  try { Body(); } catch (...) { Log(Prefix + "unknown failure"); }
}
}
void TMailerManager::LogDropped(int32_t SessionACT, const char* Reason) noexcept {
  Log(SessionPrefix("ProcessCommand", SessionACT) + " EXCEPTION: " + Reason);
}
void TMailerManager::LogUnanswered(int32_t SessionACT, const char* When) noexcept {
  Log(SessionPrefix("No answer", SessionACT) + ": the command was sent; " + When);
}
void TMailerManager::Run() {
  // Log("a commented-out line");
  Log("FS Client "
      "started");
  LogDropped(7, "relay stopped; command dropped");
  LogUnanswered(7, "the relay stopped");
  Guarded("SEND KEEP ALIVE EXCEPTION: ", [&] { Params->GetParam("UserData"); });
  if (Bad) throw std::runtime_error("no transport client");
  Log("OnDisconnect EXCEPTION: unknown failure");
}
'''
# "Не удалось" in code page 1251, as the transport writes it.
TRANSPORT = r'const char* const Failed = "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC (";' + "\n"
LOG = 'void Write() { if (Directory.empty()) throw EInOutError("Unable to create directory"); }\n'
PLATFORM = 'std::string Text() { return "Error " + std::to_string(Code); }\n'

COMPLETE = [
    "FS Client started",
    "ProcessCommand [SessionACT=<n>] EXCEPTION: relay stopped; command dropped",
    "No answer [SessionACT=<n>]: the command was sent; the relay stopped",
    "SEND KEEP ALIVE EXCEPTION: <message>",
    "unknown failure",
    "ProcessCommand [SessionACT=5] EXCEPTION: no transport client",
    "Не удалось (<connection>",
    "Error 1",
    "OnDisconnect EXCEPTION: <message>",
]


def run(entries, relay=RELAY, extra=None):
    """Problems the check reports for the tree and a guide listing entries."""
    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder)
        files = {"relay/Relay.cpp": relay, "transport/Client.cpp": TRANSPORT,
                 "log/FileLog.cpp": LOG, "platform/Errors.cpp": PLATFORM, **(extra or {})}
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text, encoding="utf-8")
        rows = "".join(f"| `{entry}` | meaning |\n" for entry in entries)
        (root / "OPERATIONS.md").write_text(GUIDE_HEAD + rows + GUIDE_TAIL, encoding="utf-8")
        problems, _, _ = CHECK.check(root, root / "OPERATIONS.md")
        return problems


class LogCatalogue(unittest.TestCase):
    def test_every_text_listed_and_every_entry_made_passes(self):
        self.assertEqual(run(COMPLETE), [])

    def test_text_missing_from_the_guide_is_reported_with_its_place(self):
        # Each text the product writes, in one of the ways it can reach a line.
        cases = [
            ("FS Client started", "a Log call, adjacent literals joined"),
            ("SEND KEEP ALIVE EXCEPTION: <message>", "a catch helper's prefix"),
            ("unknown failure", "a catch helper's own text"),
            ("ProcessCommand [SessionACT=5] EXCEPTION: no transport client", "a thrown message"),
            ("Не удалось (<connection>", "a code page 1251 message"),
        ]
        for entry, how in cases:
            with self.subTest(how):
                problems = run([e for e in COMPLETE if e != entry])
                self.assertTrue(problems, how)
                self.assertTrue(all("not in the catalogue" in p for p in problems), problems)
                self.assertIn("relay/Relay.cpp:" if "1251" not in how else "transport/Client.cpp:",
                              problems[0])

    def test_prefix_and_message_in_one_literal_match_an_entry_with_its_message(self):
        # "OnDisconnect EXCEPTION: unknown failure" is one literal; the guide
        # shows the prefix with <message> and "unknown failure" as a message.
        self.assertEqual(run(COMPLETE), [])
        problems = run([e for e in COMPLETE if e != "OnDisconnect EXCEPTION: <message>"])
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("'OnDisconnect EXCEPTION: unknown failure'", problems[0])

    def test_reason_handed_to_a_log_helper_is_a_log_text(self):
        problems = run([e for e in COMPLETE if "relay stopped;" not in e])
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("'relay stopped; command dropped'", problems[0])

    def test_line_without_a_failure_prefix_is_listed_under_its_own(self):
        # A "No answer" line: its own prefix from the session helper, its
        # reason from the caller; listing it under the failure prefix is no
        # substitute, and an entry for the old failure wording turns stale.
        problems = run([e for e in COMPLETE if not e.startswith("No answer")])
        self.assertEqual(sorted(p.split("'")[1] for p in problems),
                         [": the command was sent; ", "No answer", "the relay stopped"])
        stale = "ProcessCommand [SessionACT=<n>] EXCEPTION: the relay stopped; command dropped"
        problems = run(COMPLETE + [stale])
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("no longer writes", problems[0])

    def test_lambda_bodies_comments_includes_and_log_internals_are_not_log_texts(self):
        # "UserData" (a lambda handed to a helper), the commented-out line,
        # the include path and a failure raised inside the log are not lines.
        self.assertEqual(run(COMPLETE), [])
        texts, _ = CHECK.extract_for_test(RELAY)
        for text in ("UserData", "a commented-out line", "log/ProcessLog.h", "not a log text",
                     "Unable to create directory"):
            self.assertNotIn(text, texts)

    def test_entry_the_product_no_longer_writes_is_reported(self):
        for stale in ("FS Client stopped.", "ProcessCommand [SessionACT=<n>] FAILED: <message>",
                      "Не удалось сохранить (<connection>"):
            with self.subTest(stale):
                problems = run(COMPLETE + [stale])
                self.assertEqual(len(problems), 1, problems)
                self.assertIn("no longer writes", problems[0])

    def test_entry_must_join_literals_in_their_order(self):
        # The pieces exist, but no literal ends with "Command [" nor is
        # "EXCEPTION: [SessionACT=" made of them.
        for made_up in ("ProcessCommand EXCEPTION: [SessionACT=<n>]", "FS Client relay stopped"):
            with self.subTest(made_up):
                self.assertEqual(len(run(COMPLETE + [made_up])), 1)

    def test_text_removed_from_the_sources_turns_its_entry_stale(self):
        relay = RELAY.replace('LogDropped(7, "relay stopped; command dropped");', "")
        problems = run(COMPLETE, relay=relay)
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("relay stopped; command dropped", problems[0])

    def test_guide_without_a_catalogue_fails(self):
        problems = run([])
        self.assertTrue(any("no catalogue entries" in p for p in problems), problems)


def extract_for_test(relay):
    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder)
        for name, text in {"relay/Relay.cpp": relay, "log/FileLog.cpp": LOG}.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text, encoding="utf-8")
        return CHECK.extract(root)


def main():
    global CHECK
    found = importlib.util.spec_from_file_location("check_log_catalogue", sys.argv[1])
    CHECK = importlib.util.module_from_spec(found)
    found.loader.exec_module(CHECK)
    CHECK.extract_for_test = extract_for_test
    unittest.main(argv=sys.argv[:1], verbosity=2)


if __name__ == "__main__":
    main()
