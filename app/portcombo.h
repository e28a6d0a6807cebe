// The port list: an editable combo box that announces its drop-down before
// the list opens, so the handler can refill the items the list then shows.
#pragma once

#include <QComboBox>

class CPortCombo : public QComboBox {
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    void showPopup() override;
    // Removes every item and the selection; the text field keeps what it
    // shows, which QComboBox::clear would empty.
    void ClearItems();

signals:
    void dropDown();
};
