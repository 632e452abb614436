#pragma once

#include <QString>

// The widget style, by name, that the window's transparent board boxes
// borrow so that their board type shows: empty on Windows, whose own look
// those boxes were made for; "Windows" elsewhere, where the default style
// fills a "transparent" box black.
QString transparentBoxStyleName();
