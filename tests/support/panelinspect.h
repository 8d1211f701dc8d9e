// Looking into a panel the way the tests need: the widget in a cell of its grid layout, and the
// slots and signals the class itself declares, in method-table order; and into the log pane's
// document.
#ifndef PANELINSPECT_H
#define PANELINSPECT_H

#include <QStringList>

class QTextDocument;
class QWidget;
struct QMetaObject;

// The widget at (row, column) of panel's grid layout, or null when the cell is empty.
QWidget* gridCell(QWidget* panel, int row, int column);

// The signatures of the methods that meta's class adds to its base, e.g. "onShowPDf()".
QStringList ownMethodSignatures(const QMetaObject& meta);

// Whether document is plain text only: every block and every character in the default format (no
// colour, link or image), no list, no table or other frame, no embedded object.
bool holdsOnlyPlainText(const QTextDocument& document);

#endif
