// Message boxes in tests: every box a test raises is answered at once with
// `answer` (the OK/Yes code unless the test sets another) and its message
// kept, so no modal box blocks a test. The hook goes with the object.
#pragma once

#include <QStringList>

#include "QZOMessageBox.h"

struct BoxAnswers {
    QStringList messages;
    int answer = 0x4000;

    BoxAnswers()
    {
        QZOMessageBox::setAnswerHook([this](QZOMessageBox& box) {
            messages << box.getMessage();
            return answer;
        });
    }
    ~BoxAnswers() { QZOMessageBox::setAnswerHook(nullptr); }
    BoxAnswers(const BoxAnswers&) = delete;
    BoxAnswers& operator=(const BoxAnswers&) = delete;
};
