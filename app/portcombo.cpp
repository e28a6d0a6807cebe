#include "portcombo.h"

void CPortCombo::showPopup()
{
    emit dropDown();
    QComboBox::showPopup();
}
