#pragma once

#include <QString>
#include <QWidget>

class ProgressView;

// The compression control, class "ZlibTool.ZlibToolCtrl.1". Set InputFile and OutputFile, then
// call Compress() or Decompress(): the call returns when the work is done and throws Error on
// failure. The work runs off the calling thread (see Background::run), so the window keeps
// painting meanwhile. While visible, the control shows the progress of the work, whether its own
// or that of an operation that reports to progress().
class ZlibToolCtrl : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString InputFile READ InputFile WRITE setInputFile)
    Q_PROPERTY(QString OutputFile READ OutputFile WRITE setOutputFile)
    Q_PROPERTY(bool Visible READ Visible WRITE setVisible)

public:
    static constexpr const char *ClassId = "ZlibTool.ZlibToolCtrl.1";

    explicit ZlibToolCtrl(QWidget *parent = nullptr);

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
    [[nodiscard]] bool isBusy() const { return busy_; }

    ProgressView *progress() const { return bar_; }

private:
    void run(bool compress);

    QString inputFile_;
    QString outputFile_;
    ProgressView *bar_;
    bool busy_ = false;
};
