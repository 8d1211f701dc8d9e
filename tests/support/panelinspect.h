// Looking into widgets: the widget in a cell of a panel's grid layout, the slots and signals a
// class adds to its base in the order they are declared, whether a text document holds anything
// but plain text, and whether a paragraph's wrapped lines are indented.
#ifndef PANELINSPECT_H
#define PANELINSPECT_H

#include <QStringList>

class QTextBlock;
class QTextDocument;
class QWidget;
struct QMetaObject;

// The widget at (row, column) of panel's grid layout, or null when the cell is empty.
QWidget* gridCell(QWidget* panel, int row, int column);

// The signatures of the methods that meta's class adds to its base, as moc records them:
// "name(argument types)", in the order they are declared.
QStringList ownMethodSignatures(const QMetaObject& meta);

// Whether document is plain text only: every character in the default format (no colour, link or
// image), no block format but a hanging indent, no list, no table or other frame, no embedded
// object.
bool holdsOnlyPlainText(const QTextDocument& document);

// Whether block, laid out, has lines and each of its wrapped lines starts right of its first one,
// so that no wrapped line starts where a paragraph does.
bool continuationLinesIndented(const QTextBlock& block);

#endif
