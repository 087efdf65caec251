// SPDX-License-Identifier: MIT
// The question in a window of its own (GTK), for desktops whose notifications cannot show the
// answers as buttons. Run in a child process: the agent's loop never waits on GTK.
#pragma once

#include "agent/question_text.h"

// The answer as one letter written to `answerFd`: 'a' Allow once, 'A' Always allow, 'b' Block,
// 'B' Always block. Block is the default button; Escape and closing the window are Block. The
// window goes away without an answer when `answerFd` reports its other end closed (the agent
// withdrew the question or ended). Returns the process's exit status: 0 answered or withdrawn,
// 1 no display could be opened.
int runQuestionWindow(const question_text::Text& text, int answerFd);
