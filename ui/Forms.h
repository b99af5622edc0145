// Forms and the application object with its message loop and error display.
#pragma once

#include <csignal>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ui/Controls.h"

class QApplication;
class QSocketNotifier;

namespace kapo {

enum TBorderIcon : unsigned { biSystemMenu = 1, biMinimize = 2, biMaximize = 4 };
enum TFormBorderStyle { bsFormNone, bsFormSizeable, bsFormSingle };

// A top-level window. It is borderless when its border style is none.
class TForm : public TCustomControl {
public:
    explicit TForm(TComponent* owner);
    ~TForm() override;

    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& c);
    TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TFormBorderStyle b);
    unsigned BorderIcons() const { return FBorderIcons; }
    void SetBorderIcons(unsigned b) { FBorderIcons = b; }
    void SetBounds(int left, int top, int width, int height) override;
    bool Active() const { return FActive; }
    void Close();
    // With key preview on, the form's OnKeyDown sees each key pressed in it before the control
    // with the focus does; setting the key to 0 there keeps it from that control.
    bool KeyPreview() const { return FKeyPreview != nullptr; }
    void SetKeyPreview(bool on);

    TNotifyEvent OnCreate;
    TNotifyEvent OnActivate;
    TNotifyEvent OnDeactivate;
    TNotifyEvent OnDestroy;

    // Runs the destruction handler once, while every part of the form is alive. Derived forms
    // call it from their destructor; the base destructor calls it if nobody did.
    void BeforeDestruction();
    virtual void DoCreate();
    virtual void Activate();
    virtual void Deactivate();
    virtual void DoDestroy();
    void MoveBy(int dx, int dy);
    // On platforms that refuse to let a program place its own window (wayland), hands the
    // drag that the pressed mouse button began to the window system. False elsewhere.
    bool StartSystemMove();

private:
    friend class KFormWidget;
    std::string FCaption;
    TFormBorderStyle FBorderStyle = bsFormSizeable;
    unsigned FBorderIcons = biSystemMenu | biMinimize | biMaximize;
    bool FActive = false;
    bool FDestroyed = false;
    std::unique_ptr<QObject> FKeyPreview;
};

// Shows an error to the user: caption, message (already ending with a period if due).
using TErrorDisplay = std::function<void(const std::string& caption, const std::string& message)>;
using TExceptionEvent = std::function<void(TObject* Sender, const Exception& E)>;

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    // Creates the Qt application object; argc/argv go to Qt only.
    void Initialize(int& argc, char** argv);
    // Creates a form as this application's; the first one is the main form.
    template <typename T>
    T* CreateForm()
    {
        T* f = new T(this);
        RegisterForm(f);
        return f;
    }
    void Run();
    // Ends the loop; OnTerminate runs at once, so that a handler waiting inside the loop (a
    // fetch) can be ended and the loop end without waiting for it.
    void Terminate();
    TNotifyEvent OnTerminate;
    // When one of these signals arrives, ends the loop as Terminate does, so that the forms are
    // destroyed and save what they keep. The previous handlers come back with the application.
    void TerminateOnSignals(std::initializer_list<int> signalNumbers);
    bool Terminated() const { return FTerminated; }
    // Lets a new loop run after an earlier one has ended (tests run several in one process).
    void ClearTerminated() { FTerminated = false; }
    // Handles Qt's pending events and the message queue's pending messages, once.
    void ProcessMessages();
    // Waits until an event or a message arrives, or the time-out (ms) passes.
    void WaitForWork(int timeoutMs);

    TForm* MainForm() const { return FMainForm; }
    const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& t) { FTitle = t; }

    // The one place where errors reach the user.
    void HandleException(const std::exception& e);
    void ShowException(const std::string& message);
    // Replaces the message box (tests read what a user would have seen).
    void SetErrorDisplay(TErrorDisplay d) { FErrorDisplay = std::move(d); }
    TExceptionEvent OnException;

    // The period rule: a period is added when the last character sorts after ".".
    static std::string ErrorText(const std::string& message);

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    void RegisterForm(TForm* f);
    std::unique_ptr<QApplication> FQtApp;
    std::unique_ptr<class KWindowGoneFilter> FWindowGone;
    std::unique_ptr<QSocketNotifier> FSignalNotifier;
    int FSignalPipe[2] = {-1, -1};
    std::vector<std::pair<int, struct sigaction>> FOldSignalActions;
    TForm* FMainForm = nullptr;
    std::string FTitle = "Kapo";
    bool FTerminated = false;
    TErrorDisplay FErrorDisplay;
};

// The application object; set while one exists.
extern TApplication* Application;

// Hooks the message queue of Qt's GUI thread into the running Qt application and installs the
// application's pump on that queue only (done by Initialize; tests that make their own
// QApplication call it once). Must be called on the GUI thread.
void AttachMessageQueueToQt();

}  // namespace kapo
