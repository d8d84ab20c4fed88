// The page's own checks of its decoding, run by the browser test in the page itself:
// answers as the agent posts them, and what a user must be shown for each.
import { decodeReading } from './decode.js';

const CASES = [
  ['battery_voltage', '12.6V', '12.6 V'],
  ['battery_voltage', ' 13.45V ', '13.45 V'],
  ['battery_voltage', '?', 'no reading (adapter answered "?")'],
  ['engine_speed', 'SEARCHING...41 0C 0F 50 ', '980 rpm'],
  ['engine_speed', '41 0C 1A F8', '1726 rpm'],
  ['engine_speed', '7E8 04 41 0C 0F A0 ', '1000 rpm'],
  ['engine_speed', '41 0C 0F', 'no reading (adapter answered "41 0C 0F")'],
  ['engine_speed', 'NO DATA', 'no reading (adapter answered "NO DATA")'],
  ['engine_speed', 'ERROR', 'no reading (adapter answered "ERROR")'],
  ['engine_speed', '', 'no answer from the adapter'],
  ['engine_speed', null, 'no answer from the adapter'],
  ['vehicle_speed', '41 0D 00 ', '0 km/h'],
  ['vehicle_speed', '41 0D FF', '255 km/h'],
  ['vehicle_speed', '41 0C 0F 50', 'no reading (adapter answered "41 0C 0F 50")'],
  ['coolant_temperature', '41 05 7B ', '83 °C'],
  ['coolant_temperature', '41 05 00', '-40 °C'],
  ['vin', '0140: 49 02 01 31 53 49 1: 4D 56 49 4E 30 30 30 2: 30 30 30 30 30 34 32 ',
    '1SIMVIN0000000042'],
  ['vin', '7E8 10 14 49 02 01 31 53 49 7E8 21 4D 56 49 4E 30 30 30 7E8 22 30 30 30 30 30 34 32',
    '1SIMVIN0000000042'],
  ['vin', '0140: 49 02 01 31 53 49', 'no reading (adapter answered "0140: 49 02 01 31 53 49")'],
  ['odometer', '41 A6 00', 'unknown reading odometer'],
];

// { passed, failures: [{ name, answer, expected, got }] }
export function runChecks() {
  const failures = [];
  for (const [name, answer, expected] of CASES) {
    const got = decodeReading(name, answer).text;
    if (got !== expected) failures.push({ name, answer, expected, got });
  }
  return { passed: CASES.length - failures.length, failures };
}
