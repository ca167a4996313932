#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "app/failure_class.h"
#include "app/run_status.h"

// The words of the install window's dialogs, in the user's language: one sentence per
// failure class with what to do about it, the help link the platform can use, and the
// marks that end a sentence or a question in the text's own script.
namespace velora::st {

QString localized_text(const char* key);

// Chinese, Japanese and Korean sentences end in full-width marks and take no blanks
// around inline links.
bool ends_in_cjk(const QString& text);
bool starts_with_cjk(const QString& text);
// The text of key closed by a full stop in its own script.
QString sentence_of(const char* key);
// The text of key closed by a question mark in its own script; a Latin mark follows
// without a blank.
QString question_of(const char* key);

// Where a person can get the whole suite when an update keeps failing: the full installer
// on Windows, the vendor's download page where there is no full installer to run.
std::string help_address();

struct FailureWords {
    FailureClass kind = FailureClass::kOther;
    QString headline;    // what happened, shown in red
    QString advice;      // what to do; empty when nothing the user does helps
    QString code_line;   // the result code, in small print
    bool retry = false;  // another attempt of the stage can succeed
};

// The dialog's words for a stage that ended with code. bytes_needed: what the stage
// still has to write, named when the disk is full (0: unknown).
FailureWords failure_words(RunStatus stage, int code, int64_t bytes_needed);

// The failure dialog's message: the words, the help link and the support line.
QString failure_content(const FailureWords& words);

}  // namespace velora::st
