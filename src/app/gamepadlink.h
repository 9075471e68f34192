// SPDX-License-Identifier: MIT
#pragma once

class Form1;

// Hands the main window's game controllers to it: their keys go where the
// keyboard's go, Start and Back/Select do what F2 and F1 do, and only while
// the window is the active one. The controllers are first looked for once
// the window has painted its first frame.
void linkGamepad(Form1& form);
