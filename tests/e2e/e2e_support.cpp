#include "e2e_support.h"

#include "tform1.h"

bool PickPort(TForm1& form, const char* portName)
{
    form.cmbComSel->showPopup();
    form.cmbComSel->hidePopup();
    const int position = form.cmbComSel->findText(portName);
    if (position < 0)
        return false;
    form.cmbComSel->setCurrentIndex(position);
    return true;
}
