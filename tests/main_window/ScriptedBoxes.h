#pragma once

#include "MessageBoxes.h"

#include <deque>
#include <vector>

// Records every message box and answers from a queue (OK, or No for a
// question, when the queue is empty).
class ScriptedBoxes : public MessageBoxes
{
public:
    struct Shown
    {
        QString text;
        int style;
        QString title;
    };
    std::vector<Shown> shown;
    std::deque<int> answers;

    int show(const QString &text, int style, const QString &title) override
    {
        shown.push_back({text, style, title.isEmpty() ? applicationTitle() : title});
        if (answers.empty())
            return style == YesNoQuestion ? No : Ok;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
};
