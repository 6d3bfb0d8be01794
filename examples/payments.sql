{{ config(style='append', key='payment_id', schema=var('finance_schema')) }}

select
    payment_id,
    order_id,
    amount / 100.0 as amount_dollars,
    {{ cents_to_dollars('fee') }} as fee_dollars,
    created_at
from {{ source('stripe', 'payments') }}
{% if is_backfill() %}
where created_at > (select max(created_at) from {{ this }})
{% endif %}
