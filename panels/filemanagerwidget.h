// Panel for the device's file-management functions; it has no controls yet and binds nothing.
#ifndef FILEMANAGERWIDGET_H
#define FILEMANAGERWIDGET_H

#include "panels/basewidget.h"

class FileManagerWidget : public BaseWidget {
    Q_OBJECT
public:
    explicit FileManagerWidget(QWidget* parent = nullptr);

    void loadLibrary(QLibrary* library) override;
};

#endif
