// The question on closing the main window: minimise or exit, and whether to
// ask again.
#ifndef VIDMEND_QCLOSEDLG_H
#define VIDMEND_QCLOSEDLG_H

#include "QZOStandardDialog.h"

class QZOBaseButton;
class QZOCheckBox;
class QZORadioButton;

class QCloseDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    explicit QCloseDlg(QWidget* parent = nullptr);
    ~QCloseDlg() override;

    void Init();
    void setSelectCloseRadio(bool exit);
    bool isNoShowThisDlg() const;
    bool isCloseDlg() const;
    void resetControlLocation() override;

    QZORadioButton* minRadio() const { return m_radMin; }
    QZORadioButton* exitRadio() const { return m_radExit; }
    QZOBaseButton* okButton() const { return m_btnOk; }
    QZOCheckBox* noShowBox() const { return m_cbNoShow; }

public slots:
    void OnClickRadio();

private:
    void InitCtrl();

    QZORadioButton* m_radMin = nullptr;
    QZORadioButton* m_radExit = nullptr;
    QZOBaseButton* m_btnOk = nullptr;
    QZOCheckBox* m_cbNoShow = nullptr;
};

#endif
