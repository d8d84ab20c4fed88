#include "adapter/serial_termios_posix.h"

namespace morvanix {

std::optional<speed_t> SpeedFor(std::int32_t rate) {
  switch (rate) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return std::nullopt;  // 14400, 128000 and 256000 have no termios speed
  }
}

bool MakeLineSettings(const SerialLineSettings& line, termios& tio) {
  const std::optional<speed_t> speed = SpeedFor(line.baudRate);
  if (!speed) return false;
  cfmakeraw(&tio);
  // cfmakeraw leaves IXOFF, IXANY, INPCK, IGNPAR, IUCLC, NOFLSH, TOSTOP and others as the last
  // user of the device left them: clear every input, output and local flag.
  tio.c_iflag = 0;
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  if (cfsetispeed(&tio, *speed) != 0 || cfsetospeed(&tio, *speed) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  switch (line.dataBits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    default:
      tio.c_cflag |= CS8;
      break;
  }
  switch (line.parity) {
    case 'O':
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 'E':
      tio.c_cflag |= PARENB;
      break;
#ifdef CMSPAR
    case 'M':
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 'S':
      tio.c_cflag |= PARENB | CMSPAR;
      break;
#else
    case 'M':
    case 'S':
      return false;
#endif
    default:
      break;
  }
  // With 5 data bits the UART sends 1.5 stop bits for the two-stop-bit setting.
  if (line.stopBits == 2.0f || line.stopBits == 1.5f) tio.c_cflag |= CSTOPB;
  // No hang-up on close: dropping DTR resets adapters built on boards that reset on it.
  tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return true;
}

}  // namespace morvanix
