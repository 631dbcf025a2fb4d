#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class QProgressBar;
class QTimer;

// The compression control, class "ZlibTool.ZlibToolCtrl.1". Set InputFile and OutputFile, then
// call Compress() or Decompress(): the call returns when the work is done and throws Error on
// failure. Meanwhile the work runs on other threads and the caller waits in a nested event
// loop that leaves out user input, so the window keeps painting (timers and animations go on)
// but no click or key reaches any widget before the call returns. While visible, the control
// shows a progress bar with the share done, the speed and the time left.
class ZlibToolCtrl : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString InputFile READ InputFile WRITE setInputFile)
    Q_PROPERTY(QString OutputFile READ OutputFile WRITE setOutputFile)
    Q_PROPERTY(bool Visible READ Visible WRITE setVisible)

public:
    static constexpr const char *ClassId = "ZlibTool.ZlibToolCtrl.1";

    explicit ZlibToolCtrl(QWidget *parent = nullptr);
    // Destroying the control while it works waits for the work to end.
    ~ZlibToolCtrl() override;

    // Whether the control is shown when its window is (QWidget::setVisible sets it).
    bool Visible() const { return !isHidden(); }
    QString InputFile() const { return inputFile_; }
    void setInputFile(const QString &path) { inputFile_ = path; }
    QString OutputFile() const { return outputFile_; }
    void setOutputFile(const QString &path) { outputFile_ = path; }

    // Compresses InputFile into OutputFile (created or replaced).
    Q_INVOKABLE void Compress();
    // Decompresses the backup file InputFile into OutputFile (created or replaced).
    Q_INVOKABLE void Decompress();

    // True while Compress() or Decompress() runs.
    [[nodiscard]] bool isBusy() const { return job_ != nullptr; }

private:
    struct Job;
    enum class Operation { Compress, Decompress };

    void run(Operation operation);
    // The worker thread's body.
    static void work(std::shared_ptr<Job> job, Operation operation, QString input, QString output);
    void showProgress();

    QString inputFile_;
    QString outputFile_;
    QProgressBar *bar_;
    QTimer *poll_;
    std::shared_ptr<Job> job_;
};
