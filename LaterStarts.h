#pragma once

class QWidget;
class SingleApplication;

// Lets a later start of the program bring `window` of the primary instance forward: shown, raised
// and activated, in that order, with its window state left as it is (a minimized window stays
// minimized). The window is the context of the connection, so it ends with the window.
void bringWindowForwardOnLaterStarts(SingleApplication& application, QWidget& window);
