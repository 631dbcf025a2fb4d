#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

// The program's pictures, drawn in code at the size asked for, in the sixteen colours of the
// classic desktop palette. Need a QGuiApplication.
namespace Resources {

// A grey filing cabinet whose lower drawer is pulled out, showing its folders: the
// application's icon, also shown on the Restore tab and in the About dialog.
[[nodiscard]] QPixmap cabinetOpen(int size);
// The icon at 16, 24, 32, 48, 64, 128 and 256 pixels.
[[nodiscard]] QIcon applicationIcon();

// The same cabinet with both drawers shut (the Backup tab).
[[nodiscard]] QPixmap cabinetShut(int size);

// The "Tarvos" word mark beside a ringed moon, on a transparent background.
inline constexpr QSize LogoSize{414, 147};
[[nodiscard]] QPixmap logo(QSize size = LogoSize);

// The login dialog's picture: a database guarded by a padlock under the ringed moon.
// The login dialog's background: a soft fade from white to silver.
[[nodiscard]] QPixmap loginBackground(QSize size);

inline constexpr QSize LoginPictureSize{240, 134};
[[nodiscard]] QPixmap loginPicture(QSize size = LoginPictureSize);

} // namespace Resources
