#include "UTCDialog.h"

#include <QShowEvent>

TUTCDialog::TUTCDialog(QWidget* Owner) : QDialog(Owner) {
    setModal(true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

void TUTCDialog::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (Event->spontaneous())
        return;
    if (QWidget* Owner = parentWidget()) {
        QWidget* Frame = Owner->window();
        QRect Area = frameGeometry();
        Area.moveCenter(Frame->frameGeometry().center());
        move(Area.topLeft());
    }
}
