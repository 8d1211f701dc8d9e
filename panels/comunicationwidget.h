// Panel for the device's communication functions; it has no controls yet and binds nothing.
#ifndef COMUNICATIONWIDGET_H
#define COMUNICATIONWIDGET_H

#include "panels/basewidget.h"

// The name is looked up by its text, misspelling included: it must stay as it is.
class ComunicationWidget : public BaseWidget {
    Q_OBJECT
public:
    explicit ComunicationWidget(QWidget* parent = nullptr);

    void loadLibrary(QLibrary* library) override;
};

#endif
