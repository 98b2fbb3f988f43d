// Reads "topic<TAB>payload as hex" lines on stdin and prints each payload as
// the Eclipse Tahu package's schema decodes it, one line a message, in the
// form the gateway's Sparkplug test writes from its own decoding:
//   topic seq=N [name,alias,datatype,value]...
'use strict';
const proto = require('sparkplug-payload/lib/sparkplugPayloadProto.js');
const Payload = proto.org.eclipse.tahu.protobuf.Payload;

const field = (object, key) =>
  object[key] === undefined || object[key] === null ? '' : String(object[key]);

function valueOf(metric) {
  if (metric.isNull) return 'null';
  for (const key of ['stringValue', 'doubleValue', 'longValue', 'intValue',
                     'booleanValue']) {
    if (metric[key] !== undefined && metric[key] !== null)
      return String(metric[key]);
  }
  return 'none';
}

let input = '';
process.stdin.on('data', (chunk) => { input += chunk; });
process.stdin.on('end', () => {
  for (const line of input.split('\n')) {
    if (line === '') continue;
    const [topic, hex] = line.split('\t');
    const payload = Payload.toObject(Payload.decode(Buffer.from(hex, 'hex')),
                                     {longs: String});
    let text = topic + ' seq=' + (payload.seq === undefined ? '-' : payload.seq);
    for (const metric of payload.metrics || []) {
      text += ' [' + field(metric, 'name') + ',' + field(metric, 'alias') +
              ',' + field(metric, 'datatype') + ',' + valueOf(metric) + ']';
    }
    console.log(text);
  }
});
