#include "portcombo.h"

void CPortCombo::showPopup()
{
    emit dropDown();
    QComboBox::showPopup();
}

void CPortCombo::ClearItems()
{
    const QString text = currentText();
    clear();
    setEditText(text);
}
