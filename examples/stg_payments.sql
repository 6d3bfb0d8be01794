{{ config(style='view') }}

select id as payment_id, order_id, amount
from {{ source('stripe', 'payments') }}
